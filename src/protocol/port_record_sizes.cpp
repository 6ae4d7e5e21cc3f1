// Port data record sizes by kind, and the widening of narrow records into
// the wide layout that the rest of the program reads.
#include "protocol/port_record_sizes.h"

#include <cstring>

#include "common/byte_order.h"

namespace dupmon {

size_t portRecordSize(int kind, bool wide) {
    switch (kind) {
    case 1:
        return wide ? kWidePortRecordSize : kNarrowPortRecordSize;
    case 2:
        return 20;
    case 3:
        return 12;
    case 4:
        return 20;
    case 5:
        return 16;
    case 6:
        return 32;
    case 7:
        return 20;
    case 8:
        return 24;
    case 9:
        return 28;
    case 11:
        return wide ? kWideKind11Size : kNarrowKind11Size;
    default:
        return 0;
    }
}

void widenPortRecord(int kind, const uint8_t* n, uint8_t* w) {
    if (kind == 1) {
        // narrow: addr 0, capacity 4, completeSector 8, sectorsPerMB 12, dataSectors 16,
        // realCapacity 20, wide 48..76 at 24..52, failAddr 56, wide 84 at 60,
        // four u16 at 64..70, eighteen bytes at 72..89
        std::memset(w, 0, kWidePortRecordSize);
        writeBE64(w + 0, readBE32(n + 0));
        writeBE64(w + 8, readBE32(n + 4));
        writeBE64(w + 16, readBE32(n + 8));
        std::memcpy(w + 80, n + 12, 4);
        writeBE64(w + 24, readBE32(n + 16));
        writeBE64(w + 32, readBE32(n + 20));
        std::memcpy(w + 48, n + 24, 32);
        writeBE64(w + 40, readBE32(n + 56));
        std::memcpy(w + 84, n + 60, 4);
        std::memcpy(w + 88, n + 64, 8);
        std::memcpy(w + 96, n + 72, 18);
    } else if (kind == 11) {
        // narrow: wide 0, 8, 16, 32, 24 at 0, 4, 8, 12, 16; wide 40..52 at 20..32;
        // wide 56 at 36; nine bytes at 38..46
        std::memset(w, 0, kWideKind11Size);
        writeBE64(w + 0, readBE32(n + 0));
        writeBE64(w + 8, readBE32(n + 4));
        writeBE64(w + 16, readBE32(n + 8));
        writeBE64(w + 32, readBE32(n + 12));
        writeBE64(w + 24, readBE32(n + 16));
        std::memcpy(w + 40, n + 20, 16);
        std::memcpy(w + 56, n + 36, 2);
        std::memcpy(w + 58, n + 38, 9);
    }
}

} // namespace dupmon
