// Decoding of port data records of every layout kind into the port status record.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "machine_window/port_record.h"

using namespace dupmon;

namespace {

struct Field {
    const char* name;
    uint64_t (*get)(const PortRecord&);
};

uint64_t be4(const uint8_t* b) {
    return uint64_t(b[0]) << 24 | uint64_t(b[1]) << 16 | uint64_t(b[2]) << 8 | b[3];
}

#define FIELD(f)                                                                                   \
    {                                                                                              \
#f, [](const PortRecord& p) { return uint64_t(p.f); }                                      \
    }
const Field kFields[] = {
    FIELD(addr),
    FIELD(capacity),
    FIELD(completeSector),
    FIELD(dataSectors),
    FIELD(realCapacity),
    FIELD(failAddr),
    FIELD(value48),
    FIELD(loop),
    FIELD(value56),
    FIELD(value60),
    FIELD(speed),
    FIELD(value68),
    FIELD(rSpeed),
    FIELD(wSpeed),
    FIELD(sectorsPerMB),
    {"raw84", [](const PortRecord& p) { return be4(p.raw84); }},
    FIELD(value88),
    FIELD(value90),
    FIELD(rLoop),
    FIELD(sectorSize),
    FIELD(usbCardStatus),
    FIELD(byte97),
    FIELD(life),
    FIELD(chipStatus),
    FIELD(byte100),
    FIELD(isRead),
    FIELD(isCompare),
    FIELD(result),
    FIELD(cardExist),
    FIELD(inWorking),
    FIELD(subProcess),
    FIELD(erasePattern),
    {"bytes108", [](const PortRecord& p) { return be4(p.bytes108); }},
    FIELD(protectBits),
    FIELD(byte113),
};
#undef FIELD

PortRecord sentinel() {
    PortRecord p;
    std::memset(static_cast<void*>(&p), 0x5A, sizeof p);
    return p;
}

struct Case {
    int kind;
    size_t size;
    // Fields the record fills, with the values that the bytes 01 02 03 ... give.
    std::map<std::string, uint64_t> expected;
};

// Each record is the byte sequence 01 02 03 ... of the kind's size, so a
// big-endian u32 at offset o reads (o+1)(o+2)(o+3)(o+4).
const std::vector<Case> kCases = {
    {1,
     114,
     {{"addr", 0x0102030405060708},
      {"capacity", 0x090A0B0C0D0E0F10},
      {"completeSector", 0x1112131415161718},
      {"dataSectors", 0x191A1B1C1D1E1F20},
      {"realCapacity", 0x2122232425262728},
      {"failAddr", 0x292A2B2C2D2E2F30},
      {"value48", 0x31323334},
      {"loop", 0x35363738},
      {"value56", 0x393A3B3C},
      {"value60", 0x3D3E3F40},
      {"speed", 0x41424344},
      {"value68", 0x45464748},
      {"rSpeed", 0x494A4B4C},
      {"wSpeed", 0x4D4E4F50},
      {"sectorsPerMB", 0x51525354},
      {"raw84", 0x55565758},
      {"value88", 0x595A},
      {"value90", 0x5B5C},
      {"rLoop", 0x5D5E},
      {"sectorSize", 0x5F60},
      {"usbCardStatus", 0x61},
      {"byte97", 0x62},
      {"life", 0x63},
      {"chipStatus", 0x64},
      {"byte100", 0x65},
      {"isRead", 0x66},
      {"isCompare", 0x67},
      {"result", 0x68},
      {"cardExist", 0x69},
      {"inWorking", 0x6A},
      {"subProcess", 0x6B},
      {"erasePattern", 0x6C},
      {"bytes108", 0x6D6E6F70},
      {"protectBits", 0x71},
      {"byte113", 0x72}}},
    // Kind 2 gives sectors per MiB directly; its sector size is only stored.
    {2,
     20,
     {{"capacity", 0x01020304},
      {"sectorsPerMB", 0x05060708},
      {"dataSectors", 0x090A0B0C},
      {"sectorSize", 0x0D0E},
      {"usbCardStatus", 0x0F},
      {"chipStatus", 0x10},
      {"cardExist", 0x11}}},
    {3,
     12,
     {{"completeSector", 0x01020304},
      {"usbCardStatus", 5},
      {"chipStatus", 6},
      {"cardExist", 7},
      {"inWorking", 8},
      {"isRead", 9},
      {"isCompare", 0x0A}}},
    // 1048576 / 0x090A (2314) = 453
    {4,
     20,
     {{"capacity", 0x01020304},
      {"completeSector", 0x05060708},
      {"sectorSize", 0x090A},
      {"sectorsPerMB", 453},
      {"usbCardStatus", 0x0B},
      {"chipStatus", 0x0C},
      {"cardExist", 0x0D},
      {"inWorking", 0x0E},
      {"isRead", 0x0F},
      {"isCompare", 0x10},
      {"result", 0x11}}},
    {5,
     16,
     {{"capacity", 0x01020304},
      {"realCapacity", 0x05060708},
      {"sectorSize", 0x090A},
      {"sectorsPerMB", 453},
      {"usbCardStatus", 0x0B},
      {"chipStatus", 0x0C},
      {"cardExist", 0x0D},
      {"inWorking", 0x0E},
      {"result", 0x0F}}},
    // 1048576 / 0x1516 (5398) = 194
    {6,
     32,
     {{"completeSector", 0x01020304},
      {"capacity", 0x05060708},
      {"speed", 0x090A0B0C},
      {"rSpeed", 0x0D0E0F10},
      {"wSpeed", 0x11121314},
      {"sectorSize", 0x1516},
      {"sectorsPerMB", 194},
      {"usbCardStatus", 0x17},
      {"chipStatus", 0x18},
      {"cardExist", 0x19},
      {"inWorking", 0x1A},
      {"isRead", 0x1B},
      {"isCompare", 0x1C},
      {"result", 0x1D},
      {"subProcess", 0x1E}}},
    {7,
     20,
     {{"addr", 0x01020304},
      {"capacity", 0x05060708},
      {"sectorSize", 0x090A},
      {"sectorsPerMB", 453},
      {"usbCardStatus", 0x0B},
      {"chipStatus", 0x0C},
      {"cardExist", 0x0D},
      {"inWorking", 0x0E},
      {"isRead", 0x0F},
      {"isCompare", 0x10},
      {"result", 0x11},
      {"subProcess", 0x12},
      {"erasePattern", 0x13}}},
    // Kind 8 carries no sector size: sectorsPerMB stays.
    {8,
     24,
     {{"completeSector", 0x01020304},
      {"loop", 0x05060708},
      {"value56", 0x090A0B0C},
      {"rLoop", 0x0D0E},
      {"byte97", 0x0F},
      {"life", 0x10},
      {"usbCardStatus", 0x11},
      {"chipStatus", 0x12},
      {"cardExist", 0x13},
      {"inWorking", 0x14},
      {"isRead", 0x15},
      {"isCompare", 0x16}}},
    // 1048576 / 0x0F10 (3856) = 271
    {9,
     28,
     {{"addr", 0x01020304},
      {"loop", 0x05060708},
      {"value56", 0x090A0B0C},
      {"rLoop", 0x0D0E},
      {"sectorSize", 0x0F10},
      {"sectorsPerMB", 271},
      {"byte97", 0x11},
      {"life", 0x12},
      {"usbCardStatus", 0x13},
      {"chipStatus", 0x14},
      {"cardExist", 0x15},
      {"inWorking", 0x16},
      {"isRead", 0x17},
      {"isCompare", 0x18},
      {"result", 0x19},
      {"subProcess", 0x1A}}},
    {11,
     72,
     {{"addr", 0x0102030405060708},
      {"capacity", 0x090A0B0C0D0E0F10},
      {"completeSector", 0x1112131415161718},
      {"realCapacity", 0x191A1B1C1D1E1F20},
      {"dataSectors", 0x2122232425262728},
      {"sectorsPerMB", 0x292A2B2C},
      {"speed", 0x2D2E2F30},
      {"rSpeed", 0x31323334},
      {"wSpeed", 0x35363738},
      {"sectorSize", 0x393A},
      {"usbCardStatus", 0x3B},
      {"chipStatus", 0x3C},
      {"cardExist", 0x3D},
      {"inWorking", 0x3E},
      {"isRead", 0x3F},
      {"isCompare", 0x40},
      {"result", 0x41},
      {"subProcess", 0x42},
      {"erasePattern", 0x43}}},
    // Kind 10 and unknown kinds change nothing.
    {10, 0, {}},
    {12, 0, {}},
};

} // namespace

TEST(PortLayoutDecode, EachKindFillsItsFieldsAndLeavesTheRest) {
    for (const Case& c : kCases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind));
        ASSERT_EQ(portLayoutSize(c.kind), c.size);
        std::vector<uint8_t> bytes(120);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t(i + 1);
        PortRecord p = sentinel();
        const PortRecord before = p;
        decodePortLayout(c.kind, bytes.data(), p);
        for (const Field& f : kFields) {
            auto it = c.expected.find(f.name);
            const uint64_t want = it != c.expected.end() ? it->second : f.get(before);
            EXPECT_EQ(f.get(p), want) << f.name;
        }
    }
}

TEST(PortLayoutDecode, SectorSizeSetsSectorsPerMiBOnlyWhenNotZero) {
    struct SizeCase {
        int kind;
        size_t sizeOffset;
        uint16_t sectorSize;
        uint32_t expectedSpm;
    } cases[] = {
        {4, 8, 512, 2048},  {5, 8, 4096, 256}, {6, 20, 512, 2048}, {7, 8, 2048, 512},
        {9, 14, 512, 2048}, {9, 14, 0, 777},   {4, 8, 0, 777},
    };
    for (const auto& c : cases) {
        uint8_t rec[72] = {};
        rec[c.sizeOffset] = uint8_t(c.sectorSize >> 8);
        rec[c.sizeOffset + 1] = uint8_t(c.sectorSize);
        PortRecord p{};
        p.sectorsPerMB = 777;
        decodePortLayout(c.kind, rec, p);
        EXPECT_EQ(p.sectorsPerMB, c.expectedSpm) << "kind " << c.kind << " size " << c.sectorSize;
    }
}
