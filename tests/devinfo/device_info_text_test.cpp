// The device information text: USB, SD/MMC/eMMC and CF lines, capacities,
// statuses, the repeated-serial warning and the ports to mark, and the
// bounds of the text buffer and of the block.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "devinfo/device_info_text.h"

using namespace dupmon;

namespace {

const char kSdHeaderLine[] =
    " No. Capacity(Sector)     MID OID  Name   Revision  YearMonth Serial No.\r\n";
const char kRule[] = "======================================================================"
                     "================================================\r\n";

// A block of `count` records of `size` bytes, header filled in.
struct Block {
    std::vector<uint8_t> bytes;
    size_t recordSize;
    Block(int count, size_t size, uint8_t type)
        : bytes(8 + size_t(count) * size), recordSize(size) {
        writeBE16(bytes.data(), uint16_t(count));
        writeBE16(bytes.data() + 2, uint16_t(size));
        bytes[4] = type;
    }
    uint8_t* record(int j) { return bytes.data() + 8 + size_t(j) * recordSize; }
};

void putText(uint8_t* p, const char* text) {
    std::memcpy(p, text, std::strlen(text));
}

void usbStick(uint8_t* r, uint16_t vid, uint16_t pid, const char* serial, uint32_t sectors,
              uint16_t sectorSize, const char* vendor, const char* product, const char* version) {
    r[0] = 3;
    writeBE16(r + 4, vid);
    writeBE16(r + 6, pid);
    putText(r + 8, serial);
    writeBE32(r + 52, sectors);
    writeBE16(r + 64, sectorSize);
    putText(r + 66, vendor);
    putText(r + 74, product);
    putText(r + 90, version);
}

void sdCard(uint8_t* r, uint8_t kind, uint32_t serial, uint32_t sectors = 7741440) {
    r[0] = 3;
    r[1] = kind;
    writeBE32(r + 8, sectors);
    writeBE32(r + 28, serial);
    writeBE16(r + 32, 2024);
    r[34] = 5;
    r[35] = 27;
    putText(r + 36, "SM");
    putText(r + 38, "SIMSD");
    r[44] = 1;
    r[45] = 0;
    writeBE16(r + 46, 512);
}

std::string pad(size_t n) {
    return std::string(n, ' ');
}

DeviceInfoText compose(const Block& b, uint8_t machineType,
                       std::function<bool(uint32_t)> check = nullptr) {
    return composeDeviceInfoText(b.bytes.data(), b.bytes.size(), machineType, check);
}

} // namespace

TEST(DeviceInfoText, UsbFormWithEveryStatus) {
    Block b(5, 96, 1);
    usbStick(b.record(0), 0x0951, 0x1666, "ABC123", 15257600, 512, "Kingston", "DataTraveler 3.0",
             "PMAP");
    b.record(1)[0] = 0;
    b.record(2)[0] = 1;
    b.record(3)[0] = 2;
    b.record(4)[0] = 7;
    const DeviceInfoText t = compose(b, 2);
    const std::string expected =
        std::string("Device Quantity = 5\r\n") +
        " No. Capacity(Sector)     VID   PID    serialNo                                  Vendor"
        "    Product           Version\r\n" +
        kRule + "  1  7.28GB(15257600)" + pad(4) + " 0951h 1666h  ABC123" + pad(34) +
        "  Kingston  DataTraveler 3.0  PMAP\r\n" + "  2  Not Exist !\r\n" +
        "  3  Bad device !\r\n" + "  4  Bad device !\r\n" +
        "  5   Unknown device status ! status=7\r\n";
    EXPECT_EQ(t.text, expected);
    EXPECT_TRUE(t.repeatPorts.empty());
    EXPECT_EQ(t.devicesShown, 5);
}

TEST(DeviceInfoText, CapacityThresholds) {
    struct Case {
        uint32_t sectors;
        uint16_t sectorSize;
        const char* text;
    } cases[] = {
        {0, 512, "0MB(0)"},
        {2047, 512, "0MB(2047)"},
        {2097151, 512, "1023MB(2097151)"},
        {2097152, 512, "1.00GB(2097152)"},
        {262144, 4096, "1.00GB(262144)"},
        {20971519, 512, "10.00GB(20971519)"},
        {20971520, 512, "10.0GB(20971520)"},
        {15257600, 512, "7.28GB(15257600)"},
        {4294967295u, 65535, "262140.0GB(4294967295)"},
    };
    for (const auto& c : cases) {
        const std::string expected =
            c.text + pad(std::strlen(c.text) < 20 ? 20 - std::strlen(c.text) : 0);
        EXPECT_EQ(deviceCapacityText(c.sectors, c.sectorSize), expected) << c.text;
    }
}

TEST(DeviceInfoText, SdFormWarnsOfRepeatedSerialsAndListsTheirPorts) {
    // The SD form is chosen by the machine kind, whatever the block's type says.
    Block b(7, 48, 1);
    sdCard(b.record(0), 1, 1111);
    sdCard(b.record(1), 2, 2222); // MMC
    sdCard(b.record(2), 1, 1111); // the first card's number again
    sdCard(b.record(3), 3, 3333); // eMMC
    sdCard(b.record(4), 0, 1111); // no card identity: serial 0, not checked
    sdCard(b.record(5), 1, 2222);
    b.record(5)[0] = 1; // bad: not checked
    sdCard(b.record(6), 1, 3333);

    std::set<uint32_t> seen{42};
    std::vector<uint32_t> asked;
    const DeviceInfoText t = compose(b, 10, [&](uint32_t n) {
        asked.push_back(n);
        return !seen.insert(n).second;
    });
    const std::string card = "3.69GB(7741440)" + pad(5) + "[027, SM, SIMSD, 1.0  ]    2024-05   ";
    const std::string warning = " ===> WARNING !  Repeat Serial Number !";
    const std::string expected =
        std::string("Device Quantity = 7\r\n") +
        " No. Capacity(Sector)     MID OID  Name   Revision  YearMonth Serial No.\r\n" + kRule +
        "  1  " + card + "1111" + pad(8) + "\r\n" +           //
        "  2  " + card + "2222" + pad(8) + " (MMC)\r\n" +     //
        "  3  " + card + "1111" + pad(8) + warning + "\r\n" + //
        "  4  " + card + "3333" + pad(8) + " (eMMC)\r\n" +    //
        "  5  3.69GB(7741440)" + pad(5) + "\r\n" +            //
        "  6  Bad device !\r\n" +                             //
        "  7  " + card + "3333" + pad(8) + warning + "\r\n";
    EXPECT_EQ(t.text, expected);
    EXPECT_EQ(asked, (std::vector<uint32_t>{1111, 2222, 1111, 3333, 3333}));
    EXPECT_EQ(t.repeatPorts, (std::vector<uint16_t>{3, 7}));
}

TEST(DeviceInfoText, OtherMachinesShowSdCardsWithoutChecking) {
    Block b(2, 48, 2);
    sdCard(b.record(0), 1, 1111);
    sdCard(b.record(1), 1, 1111);
    int asked = 0;
    const DeviceInfoText t = compose(b, 3, [&](uint32_t) {
        ++asked;
        return true;
    });
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(t.repeatPorts.empty());
    EXPECT_EQ(t.text.find("WARNING"), std::string::npos);
    EXPECT_NE(t.text.find("  2  3.69GB(7741440)"), std::string::npos);
}

TEST(DeviceInfoText, CfForm) {
    Block b(1, 88, 3);
    uint8_t* r = b.record(0);
    r[0] = 3;
    writeBE32(r + 8, 1000000);
    writeBE16(r + 12, 512);
    putText(r + 20, "CF0000004711");
    putText(r + 40, "V1.0");
    putText(r + 48, "SIM CompactFlash 488MB");
    const DeviceInfoText t = compose(b, 5);
    const std::string expected =
        std::string("Device Quantity = 1\r\n") +
        " CF  CapacityInSector      Model                                     Version   Serial "
        "No.\r\n" +
        kRule + "  1  488MB(1000000)" + pad(6) + "  SIM CompactFlash 488MB" + pad(18) + "  V1.0" +
        pad(4) + "  CF0000004711" + pad(8) + "\r\n";
    EXPECT_EQ(t.text, expected);
}

TEST(DeviceInfoText, UnknownTypeAndTextsFromTheDevice) {
    Block unknown(1, 32, 9);
    unknown.record(0)[0] = 3;
    EXPECT_EQ(compose(unknown, 2).text, std::string("Device Quantity = 1\r\n") + kRule +
                                            "  1   Unknown device type ! type=9\r\n");

    // Line breaks and control characters in a device's texts become blanks;
    // the 40-byte serial is cut at 40 even without a NUL.
    Block b(1, 96, 1);
    usbStick(b.record(0), 1, 2, "A\r\nB\tC", 2048, 512, "V", "P", "1");
    std::memset(b.record(0) + 8, 'S', 40);
    std::memcpy(b.record(0) + 8, "A\r\nB\tC", 6);
    const std::string text = compose(b, 2).text;
    EXPECT_NE(text.find("  1  1MB(2048)" + pad(11) + " 0001h 0002h  A  B C" + std::string(34, 'S') +
                        "  V"),
              std::string::npos)
        << text;
}

TEST(DeviceInfoText, StopsWhereTheBlockEnds) {
    Block b(2, 96, 1);
    usbStick(b.record(0), 1, 2, "X", 2048, 512, "V", "P", "1");
    b.bytes[1] = 5; // the count says five
    const DeviceInfoText t = compose(b, 2);
    EXPECT_NE(t.text.find("  2  Not Exist !\r\nDevice information ends after 2 of 5 devices !\r\n"),
              std::string::npos)
        << t.text;
    EXPECT_EQ(t.devicesShown, 2);

    // Records of no size: nothing to tell apart.
    Block none(0, 0, 2);
    none.bytes.resize(64, 3);
    writeBE16(none.bytes.data(), 65535);
    writeBE16(none.bytes.data() + 2, 0);
    EXPECT_EQ(compose(none, 10, [](uint32_t) { return true; }).text,
              std::string("Device Quantity = 65535\r\n") + kSdHeaderLine + kRule +
                  "Device information ends after 0 of 65535 devices !\r\n");

    // Too short even for the header: a quantity of 0.
    const uint8_t two[2] = {0, 9};
    EXPECT_EQ(composeDeviceInfoText(two, 2, 2, nullptr).text,
              std::string("Device Quantity = 9\r\n") + kRule +
                  "Device information ends after 0 of 9 devices !\r\n");
    EXPECT_EQ(composeDeviceInfoText(nullptr, 0, 2, nullptr).text,
              std::string("Device Quantity = 0\r\n") + kRule);
}

TEST(DeviceInfoText, FitsTheTextBufferAndStillMarksEveryRepeat) {
    // 1500 SD cards with one serial number: far more lines than the buffer holds.
    Block b(1500, 48, 2);
    for (int j = 0; j < 1500; ++j)
        sdCard(b.record(j), 1, 777);
    bool first = true;
    int asked = 0;
    const DeviceInfoText t = compose(b, 10, [&](uint32_t) {
        ++asked;
        const bool repeat = !first;
        first = false;
        return repeat;
    });
    EXPECT_LT(t.text.size(), kDeviceInfoTextBuffer);
    EXPECT_GT(t.devicesShown, 100);
    EXPECT_LT(t.devicesShown, 1500);
    const std::string last =
        std::to_string(1500 - t.devicesShown) + " more devices not shown: the text is full !\r\n";
    ASSERT_GE(t.text.size(), last.size());
    EXPECT_EQ(t.text.substr(t.text.size() - last.size()), last);
    EXPECT_EQ(asked, 1500);
    ASSERT_EQ(t.repeatPorts.size(), kMaxRepeatPorts);
    EXPECT_EQ(t.repeatPorts.front(), 2);
    EXPECT_EQ(t.repeatPorts.back(), kMaxRepeatPorts + 1);
}
