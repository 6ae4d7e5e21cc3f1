#pragma once
// The status of one port as the machine window keeps it, and the wire
// records it is decoded from.
#include <cstddef>
#include <cstdint>

namespace dupmon {

// The status of one port, in host order. The fields sit at the offsets of
// the 114-byte wire record (layout kind 1), which is always decoded field by
// field from big-endian bytes:
//
// offset size field            offset size field
//    0    8   addr                 92    2   rLoop
//    8    8   capacity             94    2   sectorSize
//   16    8   completeSector       96    1   usbCardStatus
//   24    8   dataSectors          97    1   (byte97)
//   32    8   realCapacity         98    1   life
//   40    8   failAddr             99    1   chipStatus
//   48    4   (value48)           100    1   (byte100)
//   52    4   loop                101    1   isRead
//   56    4   (value56)           102    1   isCompare
//   60    4   (value60)           103    1   result
//   64    4   speed               104    1   cardExist
//   68    4   (value68)           105    1   inWorking
//   72    4   rSpeed              106    1   subProcess
//   76    4   wSpeed              107    1   erasePattern
//   80    4   sectorsPerMB        108    4   (bytes108)
//   84    4   (raw84, kept as it came)  112 1   protectBits
//   88    2   (value88)           113    1   (byte113)
//   90    2   (value90)
struct PortRecord {
    uint64_t addr;
    uint64_t capacity;
    uint64_t completeSector;
    uint64_t dataSectors;
    uint64_t realCapacity;
    uint64_t failAddr;
    uint32_t value48;
    uint32_t loop;
    uint32_t value56;
    uint32_t value60;
    uint32_t speed;
    uint32_t value68;
    uint32_t rSpeed;
    uint32_t wSpeed;
    uint32_t sectorsPerMB;
    uint8_t raw84[4];
    uint16_t value88;
    uint16_t value90;
    uint16_t rLoop;
    uint16_t sectorSize;
    uint8_t usbCardStatus;
    uint8_t byte97;
    uint8_t life;
    uint8_t chipStatus;
    uint8_t byte100;
    uint8_t isRead;
    uint8_t isCompare;
    uint8_t result;
    uint8_t cardExist;
    uint8_t inWorking;
    uint8_t subProcess;
    uint8_t erasePattern;
    uint8_t bytes108[4];
    uint8_t protectBits;
    uint8_t byte113;
};

static_assert(offsetof(PortRecord, value48) == 48);
static_assert(offsetof(PortRecord, sectorsPerMB) == 80);
static_assert(offsetof(PortRecord, value88) == 88);
static_assert(offsetof(PortRecord, usbCardStatus) == 96);
static_assert(offsetof(PortRecord, protectBits) == 112);

inline constexpr int kMaxPorts = 256;
inline constexpr size_t kPortRecordWireSize = 114;

// Size of one record of a port data layout kind as the window receives it
// (kinds 1 and 11 always in their wide form); 0 for kinds that carry nothing.
size_t portLayoutSize(int kind);

// Fill the fields that one record of layout `kind` carries; every other
// field keeps its value. Unknown kinds change nothing. `rec` holds
// portLayoutSize(kind) bytes.
void decodePortLayout(int kind, const uint8_t* rec, PortRecord& port);

} // namespace dupmon
