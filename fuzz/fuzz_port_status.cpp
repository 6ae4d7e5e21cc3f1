// Port data and status blocks as a controller might send them, through the
// machine window's decoding and rendering: any kind, any first index and
// count, any record bytes, for machines of every layout kind.
#include <cstdint>
#include <cstring>
#include <vector>

#include "machine_window/port_status_board.h"
#include "protocol/command_machine.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    MachineInfo info{};
    info.maxDeviceQty = data[0] | (data[1] & 1) << 8; // 0..511
    info.machineType = data[1] >> 6;                  // ordinary, 1 or 2
    info.flag_support_probe_machine = data[2] & 1;
    info.flag_support_probe_machine_sensor = (data[2] >> 1) & 1;
    info.flag_feature_bit3 = 0; // no question dialog in a fuzz run
    PortStatusBoard board(info);
    size_t pos = 3;
    // Each message: code, then a block header or a status block, then records.
    while (pos + 6 <= size) {
        // The codes the engine sends, each with the data it sends with it.
        static const int codes[] = {1,  2,  7,  11, 12, 21, 22, 23, 24,
                                    25, 26, 27, 28, 29, 30, 31, 32};
        const int code = codes[data[pos] % (sizeof codes / sizeof codes[0])];
        if (code == STATUS_MACHINE) {
            uint8_t block[28] = {};
            std::memcpy(block, data + pos + 1, std::min<size_t>(28, size - pos - 1));
            board.onStatus(code, block);
            pos += 29;
            continue;
        }
        if (code == STATUS_JOB_SUMMARY) {
            uint8_t summary[26] = {};
            std::memcpy(summary, data + pos + 1, std::min<size_t>(26, size - pos - 1));
            board.onStatus(code, summary);
            pos += 27;
            continue;
        }
        PortDataBlock block;
        block.kind = data[pos + 1] % 13;
        block.firstIndex = int8_t(data[pos + 2]) * 3;
        block.count = data[pos + 3] % 40;
        pos += 4;
        const size_t recordSize = portRecordSize(block.kind, true);
        // The engine never hands over more records than it received: the
        // records end where the input ends, padded as a full block.
        std::vector<uint8_t> records(recordSize * size_t(block.count) + 1, 0);
        const size_t n = std::min(records.size() - 1, size - pos);
        std::memcpy(records.data(), data + pos, n);
        pos += n;
        block.records = records.data();
        board.onStatus(code, &block);
    }
    return 0;
}
