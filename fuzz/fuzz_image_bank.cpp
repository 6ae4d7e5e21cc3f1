// Image bank answers as the connection decodes them: the block of the Y 3
// answer (256 bytes from the answer's start byte, as the engine hands it
// over) and then the table of the Y 4 answer (its first 1004 bytes).
//
// Input: one control byte, then the block, then the table answer; both are
// padded with zeros. Control bit 0 writes the right CRC-32 into the block, so
// that its decoding is reached; bit 1 clears the table answer's result byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "answer_feed.h"
#include "common/byte_order.h"
#include "common/clock.h"
#include "common/ui_services.h"
#include "connection/machine.h"
#include "protocol/checksum.h"

using namespace dupmon;
using namespace dupmon::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // One connection for the whole run: its engine's buffers are large. Each
    // block replaces what the one before left.
    static ManualClock clock;
    static QuietUi ui;
    static MACHINE machine(clock, ui);

    const uint8_t control = data[0];
    ++data, --size;
    uint8_t block[256] = {};
    std::memcpy(block, data, std::min<size_t>(size, sizeof block));
    const size_t used = std::min<size_t>(size, sizeof block);
    data += used, size -= used;
    if (control & 1)
        writeBE32(block + 252, crc32(block, 252));
    uint8_t table[4 + 1000] = {};
    std::memcpy(table, data, std::min<size_t>(size, sizeof table));
    if (control & 2)
        table[3] = 0;

    machine.onImageBankBlock(block);
    const ImageBankInfo& bank = machine.imageBank();
    const bool good = crc32(block, 252) == readBE32(block + 252);
    if (good) {
        check(bank.max_image_qty == readBE32(block + 96));
        check(bank.free_dataBank_qty == readBE32(block + 112));
        check(bank.dw_hddTotalSectorQty == readBE64(block + 84));
        check(terminated(bank.identifySymbol, sizeof bank.identifySymbol));
        check(terminated(bank.version, sizeof bank.version));
        check(std::strncmp(bank.identifySymbol, reinterpret_cast<const char*>(block + 4),
                           std::strlen(bank.identifySymbol)) == 0);
    } else {
        check(bank.max_image_qty == 0 && bank.identifySymbol[0] == 0);
    }

    machine.onImageBankTable(table);
    const uint8_t* kept = machine.imageBankTable();
    if (table[3] != 0) {
        for (size_t i = 0; i < 1000; ++i)
            check(kept[i] == 0);
    } else {
        const size_t n = std::min<size_t>(bank.max_image_qty, 1000);
        check(std::memcmp(kept, table + 4, n) == 0);
    }
    return 0;
}
