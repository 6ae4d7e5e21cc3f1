// Records written byte by byte at their offsets, decoded into the texts an
// operator reads; every expected text is written out by hand.
#include <gtest/gtest.h>

#include "log_test_support.h"
#include "logdb/log_record.h"

using namespace dupmon;
using dupmon::test::RecordBytes;

namespace {

// CID of an SD card: MID 3, OEM "SD", name "SU", BEL, "6G", revision 8.0,
// serial 0x12345678, made 2021-06.
const char kSdCid[] = "\x03\x53\x44\x53\x55\x07\x36\x47\x80\x12\x34\x56\x78\x01\x56\x9B";
// CID of an MMC card: MID 0x15, OEM byte 'N', name "MMC04G", revision 1.2,
// serial 12345678, made 2009-07.
const char kMmcCid[] = "\x15\x01\x4E\x4D\x4D\x43\x30\x34\x47\x12\x00\xBC\x61\x4E\x7C\x01";

// Log number 41 (shown 42), 2026-03-15 10:20:30, port 3, 512-byte sectors,
// capacity 15728640 sectors.
RecordBytes job() {
    RecordBytes r;
    r.job(41, 2026, 3, 15, 10, 20, 30, 3).be32(24, 15728640);
    return r;
}

RecordBytes burnIn(uint8_t function, uint8_t status, uint8_t result) {
    return job()
        .u8(14, function)
        .u8(63, status)
        .u8(62, result)
        .be32(68, 4)
        .be32(72, 2)
        .be32(76, 7)
        .be32(40, 0x1A2B)
        .be32(52, 5)
        .u8(13, 2)
        .bytes(88, std::string_view(kSdCid, 16));
}

LogRecord decode(const RecordBytes& r) {
    return decodeLogRecord(r.data());
}

} // namespace

TEST(LogRecordDecoding, HostOrderFieldsFromTheReceivedBytes) {
    RecordBytes r;
    r.be32(0, 0x01020304).be32(24, 0xA0B0C0D0).le32(36, 7000).be16(56, 0x1234).be16(80, 0x0102);
    LogRecord d = decode(r);
    EXPECT_EQ(d.logNo, 0x01020304u);
    EXPECT_EQ(d.capacity, 0xA0B0C0D0u);
    EXPECT_EQ(d.sizeMB, 7000u); // the one little-endian field
    EXPECT_EQ(d.copyTime, 0x1234);
    EXPECT_EQ(d.port, 0x0102);
    EXPECT_EQ(d.raw[0], 0x01); // the received bytes stay as they came
}

TEST(LogRecordDecoding, SizeSpeedAndTimeTexts) {
    struct {
        uint32_t sectors;
        uint16_t sectorSize;
        const char* text;
    } sizes[] = {
        {2097152, 512, "1024.0MB"},
        {20971520, 512, "10.0GB"},
        {1, 512, "0KB"},
        {3, 512, "1KB"},
        {3072, 512, "1.5MB"},
        {30720000, 512, "14.6GB"},
        {262144, 4096, "1024.0MB"},
        {12345, 0, " "},
    };
    for (const auto& c : sizes)
        EXPECT_EQ(sizeText(c.sectors, c.sectorSize), c.text) << c.sectors << "x" << c.sectorSize;

    struct {
        uint32_t perSecond;
        uint16_t sectorSize;
        const char* text;
    } speeds[] = {
        {2048, 512, "1.00M/S"}, {0, 512, "0.00M/S"},     {100, 512, "  50K/S"},
        {6656, 512, "3.25M/S"}, {25600, 512, "12.5M/S"}, {409600, 512, " 200M/S"},
        {2048, 0, " "},
    };
    for (const auto& c : speeds)
        EXPECT_EQ(speedText(c.perSecond, c.sectorSize), c.text) << c.perSecond;

    struct {
        uint32_t seconds;
        const char* text;
    } times[] = {
        {59, "00:59"}, {3600, "1:00:00"}, {0, "00:00"}, {3599, "59:59"}, {90061, "25:01:01"}};
    for (const auto& c : times)
        EXPECT_EQ(timeText(c.seconds), c.text) << c.seconds;
}

TEST(LogRecordDecoding, RunTimeByFunction) {
    RecordBytes r = job().be32(52, 1000).be16(56, 30).be16(58, 20);
    struct {
        uint8_t function;
        uint32_t seconds;
    } cases[] = {{1, 30}, {6, 30},  {84, 30}, {4, 20},   {9, 20},
                 {5, 50}, {10, 50}, {85, 50}, {16, 1000}};
    for (const auto& c : cases)
        EXPECT_EQ(runTime(decode(r.u8(14, c.function))), c.seconds) << int(c.function);
}

TEST(LogRecordDecoding, ReportLinePerFunctionGroup) {
    const RecordBytes cd =
        job().u8(14, 54).be32(72, 3000).be32(76, 0x800).be32(32, 4096).be32(52, 42);
    struct {
        const char* name;
        RecordBytes record;
        const char* line;
    } cases[] = {
        {"copy with write protection",
         job()
             .u8(14, 1)
             .u8(18, 0x10)
             .be32(32, 2097152)
             .be16(56, 75)
             .be32(52, 999)
             .u8(13, 1)
             .be16(64, 0x0781)
             .be16(66, 0x5567)
             .bytes(88, "4C530001230518113593"),
         "0000042 2026-03-15 10:20:30  0003  PASS            COPY+WP(DATA,1024.0MB)                "
         " "
         "01:15          7680.0MB(15728640)  0781h 5567h [4C530001230518113593]"},
        {"copy+compare with P.WP, failed, no target",
         job()
             .u8(14, 5)
             .u8(18, 0x09)
             .u8(60, 2)
             .be32(32, 15728640)
             .be16(56, 600)
             .be16(58, 590)
             .u8(62, 2)
             .be32(40, 123456),
         "0000042 2026-03-15 10:20:30  0003  FAIL(LBA:123456)COPY+COMPARE+P.WP(Whole,7680.0MB)     "
         " "
         "19:50          7680.0MB(15728640)  "},
        {"CRC64 with its value, wider than its column",
         job()
             .u8(14, 29)
             .u8(60, 1)
             .be32(32, 2048)
             .be32(24, 0)
             .be32(44, 0x89ABCDEF)
             .be32(48, 0x01234567)
             .be32(52, 3725),
         "0000042 2026-03-15 10:20:30  0003  PASS            "
         "CRC64(Partition,1.0MB)=[0123456789ABCDEF]  "
         "1:02:05          0KB(0)              "},
        {"CD copy", cd,
         "0000042 2026-03-15 10:20:30  0003  PASS            COPY USB(CDROM)(CD:5.8MB,USB:2.0MB)   "
         " "
         "00:42          7680.0MB(15728640)  "},
        {"CD copy with format", RecordBytes(cd).u8(14, 55),
         "0000042 2026-03-15 10:20:30  0003  PASS            COPY "
         "USB(CDROM)+Format(CD:5.8MB,Format "
         "USB:7680.0MB)    00:42          7680.0MB(15728640)  "},
        {"media test, 0 percent shown as 100%",
         job().u8(14, 15).be32(48, 25600).be32(44, 6656).u8(62, 64).be32(52, 7200),
         "0000042 2026-03-15 10:20:30  0003  Low R.Speed     H5 TEST(100%) W:12.5M/S R:3.25M/S    "
         "2:00:00          7680.0MB(15728640)  "},
        {"burn-in started: target information", burnIn(22, 0, 0),
         "0000042 2026-03-15 10:20:30  0003  START           BURN IN(100%)                         "
         " "
         "00:05          7680.0MB(15728640)  [003,SD,SU 6G,8.0   ]  2021-06   305419896    CID: 03 "
         "53 "
         "44 53 55 07 36 47 80 12 34 56 78 01 56 9B"},
        {"burn-in write error: loop text instead of the target", burnIn(22, 2, 5),
         "0000042 2026-03-15 10:20:30  0003  ERROR           BURN IN(100%)                         "
         " "
         "00:05          7680.0MB(15728640)  Loop:5(Write), Err at 00001A2Bh, Error Count 7, "},
        {"capacity check with real size",
         job().u8(14, 16).be32(32, 3932160).u8(62, 17).be32(52, 600),
         "0000042 2026-03-15 10:20:30  0003  Size Not Match  CAPACITY CHECK                        "
         " "
         "10:00          7680.0MB(15728640)    Real Size=1920.0MB"},
        {"capacity check without real size (detail 34)",
         job().u8(14, 16).u8(17, 34).be32(32, 3932160).be32(52, 600),
         "0000042 2026-03-15 10:20:30  0003  PASS            CAPACITY CHECK                        "
         " "
         "10:00          7680.0MB(15728640)  "},
        {"function 86", job().u8(14, 86).be32(52, 9),
         "0000042 2026-03-15 10:20:30  0003  PASS            Function(86)                          "
         " "
         "00:09          7680.0MB(15728640)  "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reportLine(decode(c.record)), c.line) << c.name;
}

TEST(LogRecordDecoding, FunctionTexts) {
    const RecordBytes copy = job().be32(32, 2097152).be32(44, 2048).be32(48, 0);
    struct {
        RecordBytes record;
        const char* text;
    } cases[] = {
        {RecordBytes(copy).u8(14, 1).u8(18, 0x01), "COPY(DATA,1024.0MB)"},
        {RecordBytes(copy).u8(14, 1).u8(18, 0x18), "COPY+P.WP(DATA,1024.0MB)"},
        {RecordBytes(copy).u8(14, 5).u8(18, 0x01), "COPY+COMPARE+WP(DATA,1024.0MB)"},
        {RecordBytes(copy).u8(14, 5).u8(18, 0x10), "COPY+COMPARE(DATA,1024.0MB)"},
        {RecordBytes(copy).u8(14, 84).u8(60, 7), "COPY+WP(7,1024.0MB)"},
        {RecordBytes(copy).u8(14, 73).be16(82, 0), "COPY+COMP(T)(DATA, )"},
        {RecordBytes(copy).u8(14, 14).u8(60, 105), "H3 TEST(5MB) R:1.00M/S"},
        {RecordBytes(copy).u8(14, 14).u8(60, 140), "H3 TEST(1MB) R:1.00M/S"},
        {RecordBytes(copy).u8(14, 32).u8(60, 50).be32(44, 100), "H6 TEST(50%) W:0.00M/S R:  50K/S"},
        {RecordBytes(copy).u8(14, 15).u8(60, 200).le32(36, 300),
         "H5 TEST(300MB) W:0.00M/S R:1.00M/S"},
        {RecordBytes(copy).u8(14, 38).u8(60, 200).le32(36, 0x80000000),
         "MediaCheck#1(2147483648MB) W:0.00M/S R:1.00M/S"},
        {RecordBytes(copy).u8(14, 22).u8(60, 37), "BURN IN(37%)"},
        {RecordBytes(copy).u8(14, 23).u8(60, 37), "BURN IN(COPY+COMPARE)"},
        {RecordBytes(copy).u8(14, 0), "NOTHING"},
        {RecordBytes(copy).u8(14, 85), "COPY+COMPARE+WP(DATA,1024.0MB)"},
        {RecordBytes(copy).u8(14, 255), "Function(255)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(functionText(decode(c.record)), c.text) << c.text;
}

TEST(LogRecordDecoding, ResultTexts) {
    struct {
        uint8_t function, result, detail;
        uint32_t errorAddress;
        const char* text;
    } cases[] = {
        {38, 0, 0, 5, "PASS"},          {38, 5, 81, 5, "FAIL(5)"},
        {1, 1, 81, 5, "User Abort"},    {1, 5, 81, 5, "Low Speed"},
        {1, 5, 80, 5, "Low Speed"},     {1, 17, 0, 5, "Size Not Match"},
        {1, 48, 0, 5, "Bad Device"},    {1, 64, 0, 5, "FAIL(LBA:5)"},
        {15, 65, 0, 5, "Low W.Speed"},  {14, 38, 0, 5, "Over Capacity"},
        {32, 39, 0, 5, "Low Capacity"}, {14, 99, 0, 0xFFFFFFFF, "FAIL(LBA:4294967295)"},
    };
    for (const auto& c : cases) {
        RecordBytes r =
            job().u8(14, c.function).u8(62, c.result).u8(17, c.detail).be32(40, c.errorAddress);
        EXPECT_EQ(resultText(decode(r)), c.text) << c.text;
    }
}

TEST(LogRecordDecoding, BurnInStatuses) {
    struct {
        uint8_t status, result;
        const char* result_text;
        const char* burn_in_text;
    } cases[] = {
        {0, 0, "START", ""},
        {1, 0, "PASS", ""},
        {1, 5, "FAIL(LBA:6699)", "Loop:5(Read Loop:3), END, Error Count 7, "},
        {1, 1, "User Abort", "Loop:5(Read Loop:3), END, Error Count 7, "},
        {2, 5, "ERROR", "Loop:5(Write), Err at 00001A2Bh, Error Count 7, "},
        {2, 1, "User Abort", "Loop:5(Write), Err at 00001A2Bh, Error Count 7, "},
        {3, 5, "ERROR", "Loop:5(Read Loop:3), Read Err at 00001A2Bh, Error Count 7, "},
        {4, 5, "ERROR", "Loop:5(Read Loop:3), Compare Err at 00001A2Bh, Error Count 7, "},
        {5, 9, "ERROR", "Loop:5(Read Loop:3), Error Code 9, Err at 00001A2Bh, Error Count 7, "},
        {6, 5, "(6)", "Loop:5(Read Loop:3), LogStatus=6, Err at 00001A2Bh, Error Count 7, "},
    };
    for (uint8_t function : {22, 23}) {
        for (const auto& c : cases) {
            LogRecord r = decode(burnIn(function, c.status, c.result));
            EXPECT_EQ(resultText(r), c.result_text) << int(function) << "/" << int(c.status);
            EXPECT_EQ(burnInText(r), c.burn_in_text) << int(function) << "/" << int(c.status);
        }
    }
    // Loop counters are unsigned 32-bit: the last loop wraps to 0, counts print unsigned.
    LogRecord wide = decode(burnIn(22, 2, 5).be32(68, 0xFFFFFFFF).be32(76, 0x80000000));
    EXPECT_EQ(burnInText(wide), "Loop:0(Write), Err at 00001A2Bh, Error Count 2147483648, ");
    // Other functions have no burn-in text even with a status set.
    EXPECT_EQ(burnInText(decode(burnIn(1, 2, 5))), "");
}

TEST(LogRecordDecoding, TargetInformation) {
    const char* cf40 = "032G-X46         HDX 7.08 0123456789ABCD"; // 40 characters, no NUL
    struct {
        const char* name;
        RecordBytes record;
        const char* report;
        const char* viewer;
    } cases[] = {
        {"SD card with a control character in its name",
         job().u8(13, 2).bytes(88, std::string_view(kSdCid, 16)),
         "[003,SD,SU 6G,8.0   ]  2021-06   305419896    CID: 03 53 44 53 55 07 36 47 80 12 34 56 "
         "78 01 "
         "56 9B",
         "[003,SD,SU 6G,8.0   ]  2021-06   305419896   "},
        {"MMC card", job().u8(13, 5).bytes(88, std::string_view(kMmcCid, 16)),
         "[021,N ,MMC04,1.2   ]  2009-07   12345678     CID: 15 01 4E 4D 4D 43 30 34 47 12 00 BC "
         "61 4E "
         "7C 01",
         "[021,N ,MMC04,1.2   ]  2009-07   12345678    "},
        {"USB stick with a serial filling the field",
         job()
             .u8(13, 7)
             .be16(64, 0x0951)
             .be16(66, 0x1666)
             .bytes(88, "0123456789ABCDEFGHIJ0123456789ABCDEFGHIJ"),
         "0951h 1666h [0123456789ABCDEFGHIJ0123456789ABCDEFGHIJ]",
         "0951h 1666h [0123456789ABCDEFGHIJ0123456789ABCDEFGHIJ]"},
        {"CF card, short identification: no prefix",
         job().u8(13, 3).bytes(64, "IGNORED").bytes(88, "SanDisk SDCFH-004G"),
         "[SanDisk SDCFH-004G]", "[SanDisk SDCFH-004G]"},
        {"CF card, full identification: prefix from offset 64",
         job().u8(13, 3).bytes(64, "SanDisk SDCFXPS-").bytes(88, cf40),
         "[SanDisk SDCFXPS-032G-X46         HDX 7.08 0123456789ABCD]",
         "[SanDisk SDCFXPS-032G-X46         HDX 7.08 0123456789ABCD]"},
        {"CF card, prefix ends at its NUL",
         job().u8(13, 3).bytes(64, std::string_view("Kingston\0XXXXXXX", 16)).bytes(88, cf40),
         "[Kingston032G-X46         HDX 7.08 0123456789ABCD]",
         "[Kingston032G-X46         HDX 7.08 0123456789ABCD]"},
        {"CF card, empty prefix", job().u8(13, 3).bytes(88, cf40),
         "[032G-X46         HDX 7.08 0123456789ABCD]",
         "[032G-X46         HDX 7.08 0123456789ABCD]"},
        {"CF card in a burn-in: offsets 64.. are numbers",
         job().u8(14, 22).u8(13, 3).bytes(64, "SanDisk SDCFXPS-").bytes(88, cf40),
         "[032G-X46         HDX 7.08 0123456789ABCD]",
         "[032G-X46         HDX 7.08 0123456789ABCD]"},
        {"no target kind", job().u8(13, 4).bytes(88, "text"), "", ""},
    };
    for (const auto& c : cases) {
        LogRecord r = decode(c.record);
        EXPECT_EQ(targetInfoText(r, TargetForm::Report), c.report) << c.name;
        EXPECT_EQ(targetInfoText(r, TargetForm::Viewer), c.viewer) << c.name;
    }
}

TEST(LogRecordDecoding, ViewerColumns) {
    struct {
        const char* name;
        RecordBytes record;
        std::array<std::string, kLogViewerColumns> columns;
    } cases[] = {
        {"USB copy",
         job()
             .u8(14, 1)
             .u8(18, 0x10)
             .be32(32, 2097152)
             .be16(56, 75)
             .u8(13, 1)
             .be16(64, 0x0781)
             .be16(66, 0x5567)
             .bytes(88, "4C530001230518113593"),
         {"00042", "2026-03-15 10:20:30", "3", "PASS", "COPY+WP(DATA,1024.0MB)", "01:15",
          "7680.0MB(15728640)", "0781h 5567h [4C530001230518113593]"}},
        {"burn-in write error",
         burnIn(22, 2, 5),
         {"00042", "2026-03-15 10:20:30", "3", "ERROR", "BURN IN(100%)", "00:05",
          "7680.0MB(15728640)", "Loop:5(Write), Err at 00001A2Bh, Error Count 7, "}},
        {"capacity check on an SD card",
         job()
             .u8(14, 16)
             .be32(32, 3932160)
             .be32(52, 600)
             .u8(13, 2)
             .bytes(88, std::string_view(kSdCid, 16)),
         {"00042", "2026-03-15 10:20:30", "3", "PASS", "CAPACITY CHECK", "10:00",
          "7680.0MB(15728640)",
          "[003,SD,SU 6G,8.0   ]  2021-06   305419896   ,Real Size=1920.0MB"}},
        {"large numbers print unsigned",
         RecordBytes()
             .job(0xFFFFFFFE, 2026, 12, 31, 23, 59, 58, 65535)
             .u8(14, 86)
             .be32(24, 0x80000000)
             .be32(52, 0),
         {"4294967295", "2026-12-31 23:59:58", "65535", "PASS", "Function(86)", "00:00",
          "1024.0GB(2147483648)", ""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(logViewerColumns(decode(c.record)), c.columns) << c.name;
}

TEST(LogRecordDecoding, ViewerHeadersByMachineKind) {
    EXPECT_STREQ(logViewerHeader(0, 2), "  No.");
    EXPECT_STREQ(logViewerHeader(6, 2), "Capacity(Sector)");
    struct {
        int deviceType;
        const char* header;
    } cases[] = {{3, "MID OID Name Revision  YearMonth Serial No."},
                 {6, "MID OID Name Revision  YearMonth Serial No."},
                 {16, "VID-PID-Serial No."},
                 {5, "Model,Version,SerialNo."},
                 {10, "media info"}};
    for (const auto& c : cases)
        EXPECT_STREQ(logViewerHeader(7, c.deviceType), c.header);
    EXPECT_EQ(logViewerColumnWidth(7), 540);
}
