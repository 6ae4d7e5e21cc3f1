// Reports from a database on disk: the memo text, Save to File with its seal,
// and the seal checker that undoes it.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "log_test_support.h"
#include "logdb/report.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

constexpr char BS = 8; // backspace: a set bit in the seal code

// Writes seal codes readably: "B" stands for a backspace.
std::string code(std::string s) {
    for (char& c : s)
        if (c == 'B')
            c = BS;
    return s;
}

const std::string kMarker = code("   BB ");
const std::string kNotice =
    "\r\nThe content was protected by Quiet-Mark Technology ! Please check it by QX42Z.exe\r\n";

RecordBytes copyRecord(uint32_t logNo, int month, int day) {
    RecordBytes r;
    r.job(logNo, 2026, month, day, 9, 5, 0, 2).u8(14, 1).be32(24, 2048).be32(32, 2048).be16(56, 61);
    return r;
}

// The report line of copyRecord(), by its shown number and date.
std::string lineOf(const std::string& shownNo, const std::string& date) {
    return shownNo + " " + date +
           " 09:05:00  0002  PASS            COPY(DATA,1.0MB)                       01:01          "
           "1.0MB(2048)         ";
}

std::string headerOf(const std::string& start, const std::string& end) {
    return "\n"
           "  Print Date: Sun Mar 15 10:00:00 2026\n\r\n\r\n"
           "    Nickname: LINE-01\r\n"
           "       Model: UB-16\r\n"
           "     F/W Ver: 2.40.7\r\n"
           "  Machine ID: A1B2C3\r\n"
           "    Port Qty: 16\r\n"
           "\n"
           "startNo Date: " +
           start + "\r\n  endNo Date: " + end + "\r\n\n" + std::string(90, ' ') +
           "RUN            TARGET INFORMATION\r\n"
           "    No. -----Date-Time-----  Port  Result          Function                            "
           "   "
           "Time           Capacity(Sector)    VID   PID   Serial No.\r\n" +
           std::string(175, '=');
}

class Report : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        info = machine("LINE-01", "UB-16", "A1B2C3", 2, "v2.40.7", 16);
        db = dir / "A1B2C3.QX42.LOGDATA";
        ASSERT_TRUE(createLogDatabase(db));
    }
    void addFiveRecords() {
        for (const RecordBytes& r :
             {copyRecord(0, 3, 14), copyRecord(1, 3, 15), copyRecord(2, 3, 15),
              copyRecord(3, 3, 16), copyRecord(4, 4, 1)})
            writeBytes(db, r.data(), 128, true);
    }
    ReportBuild build(ReportDate from, ReportDate to) {
        return buildReport(db, info, from, to, clock);
    }

    MachineInfo info;
    fs::path db;
    ManualClock clock{LocalTime{2026, 3, 15, 10, 0, 0, 0, 0}};
};

} // namespace

TEST_F(Report, SameDayForStartAndEndSelectsThatDay) {
    addFiveRecords();
    ReportBuild r = build({2026, 3, 15}, {2026, 3, 15});
    ASSERT_EQ(r.status, ReportStatus::Built);
    EXPECT_EQ(r.linesInRange, 2u);
    EXPECT_EQ(r.memo, headerOf("2026-03-15", "2026-03-15") + "\r\n" +
                          lineOf("0000002", "2026-03-15") + "\r\n" +
                          lineOf("0000003", "2026-03-15") + "\r\n");
}

TEST_F(Report, WindowKeepsTheRecordsItBuiltFrom) {
    addFiveRecords();
    LogDatabaseContents kept;
    ReportBuild streamed = build({2026, 3, 15}, {2026, 3, 16});
    ReportBuild keeping = buildReport(db, info, {2026, 3, 15}, {2026, 3, 16}, clock, &kept);
    EXPECT_EQ(keeping.memo, streamed.memo);
    EXPECT_EQ(keeping.linesInRange, 3u);
    ASSERT_EQ(kept.count, 5u);
    EXPECT_EQ(buildReport(kept, info, {2026, 3, 15}, {2026, 3, 16}, clock).memo, streamed.memo);
}

TEST_F(Report, EndDayIsIncludedAndTheNextDayIsNot) {
    addFiveRecords();
    ReportBuild r = build({2026, 3, 14}, {2026, 3, 15});
    EXPECT_EQ(r.linesInRange, 3u);
    EXPECT_NE(r.memo.find(lineOf("0000001", "2026-03-14")), std::string::npos);
    EXPECT_EQ(r.memo.find("2026-03-16 09:05:00"), std::string::npos);
    // Month and year weigh more than the day.
    EXPECT_EQ(build({2026, 2, 28}, {2026, 4, 1}).linesInRange, 5u);
}

TEST_F(Report, IllegalRangeChangesNothing) {
    addFiveRecords();
    struct {
        ReportDate start, end;
    } illegal[] = {{{2026, 3, 16}, {2026, 3, 15}},
                   {{2027, 1, 1}, {2026, 12, 31}},
                   {{2026, 4, 1}, {2026, 3, 31}}};
    for (const auto& c : illegal) {
        EXPECT_FALSE(isLegalReportRange(c.start, c.end));
        ReportBuild r = build(c.start, c.end);
        EXPECT_EQ(r.status, ReportStatus::IllegalDate);
        EXPECT_EQ(r.memo, "");
    }
    EXPECT_EQ(kIllegalDateMessage.text, std::string("Illegal Date !"));
    EXPECT_EQ(kIllegalDateMessage.caption, std::string("Error"));
}

TEST_F(Report, UnreadableDatabaseFailsTheBuild) {
    std::vector<uint8_t> bytes = readBytes(db);
    bytes[125] = '9'; // another version
    writeBytes(db, bytes.data(), bytes.size());
    ReportBuild r = build({2026, 3, 15}, {2026, 3, 15});
    EXPECT_EQ(r.status, ReportStatus::ReadFailed);
    EXPECT_EQ(r.readResult, DATABASE_WRONG_VERSION);
    r = buildReport(dir / "missing", info, {2026, 3, 15}, {2026, 3, 15}, clock);
    EXPECT_EQ(r.status, ReportStatus::ReadFailed);
    EXPECT_EQ(r.readResult, DATABASE_NOT_EXIST);
    EXPECT_EQ(kReadLogFailMessage.text, std::string("Read Log File FAIL !"));
}

TEST_F(Report, RangeWithoutRecordsGivesTheHeaderAlone) {
    addFiveRecords();
    ReportBuild r = build({2025, 1, 1}, {2025, 1, 2});
    ASSERT_EQ(r.status, ReportStatus::Built);
    const std::string header = headerOf("2025-01-01", "2025-01-02");
    EXPECT_EQ(r.memo, header + "\r\n");
    // Saved: the memo without its last character, three line ends, the seal.
    std::vector<uint8_t> saved = sealedReport(r.memo);
    const std::string content = header + "\r" + "\r\n\r\n\r\n";
    ASSERT_EQ(saved.size(), content.size() + 6 + 64 + kNotice.size());
    EXPECT_EQ(std::string(saved.begin(), saved.begin() + content.size()), content);
    EXPECT_EQ(std::string(saved.end() - kNotice.size(), saved.end()), kNotice);
    EXPECT_TRUE(verifySeal(saved.data(), saved.size()).valid);
}

TEST_F(Report, EmptyDatabaseLeavesTheMemoEmpty) {
    ReportBuild r = build({2026, 3, 15}, {2026, 3, 15});
    EXPECT_EQ(r.status, ReportStatus::Built);
    EXPECT_EQ(r.memo, "");
    EXPECT_EQ(saveReport(dir / "out.txt", r.memo), ReportSaveStatus::NoContents);
    EXPECT_FALSE(fs::exists(dir / "out.txt"));
    ReportMessage m = reportSaveMessage(ReportSaveStatus::NoContents);
    EXPECT_EQ(m.text, std::string("no contents need to be saved !"));
    EXPECT_EQ(m.caption, std::string("ERROR !"));
}

TEST_F(Report, HeadingLinesByMachineKind) {
    const std::string common = "    No. -----Date-Time-----  Port  Result          Function        "
                               "                       Time           Capacity(Sector)    ";
    const std::string run = std::string(90, ' ') + "RUN            TARGET INFORMATION";
    struct {
        int deviceType;
        std::string lines;
    } cases[] = {
        {3, run + "  CID\r\n" + common + "MID OID Name Revision  YearMonth Serial No.\r\n"},
        {6, run + "  CID\r\n" + common + "MID OID Name Revision  YearMonth Serial No.\r\n"},
        {9, run + "\r\n" + common + "VID   PID   Serial No.\r\n"},
        {5, run + "\r\n" + common + "Model,Version,SerialNo.\r\n"},
        {10, run + "\r\n" + common + "\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reportHeadingLines(c.deviceType), c.lines) << c.deviceType;
}

TEST(ReportSeal, ContentOfFourKBytesIsSealedWithoutRounding) {
    // Memo "a\r\n": content "a\r" + "\r\n\r\n\r\n" = 8 bytes, CRC 0x40159DCE.
    std::vector<uint8_t> sealed = sealedReport("a\r\n");
    const std::string expected = std::string("a\r\r\n\r\n\r\n") + kMarker +
                                 code(" BBB  BBB BBB  BB B B         B ") +
                                 code("   B                            ") + kNotice;
    EXPECT_EQ(std::string(sealed.begin(), sealed.end()), expected);
    EXPECT_EQ(sealed[8 + 6], ' '); // CRC bit 0 clear
}

TEST(ReportSeal, ContentOfFourKPlusOneIsSealedOverZeroPadding) {
    // 9 bytes of content; the CRC 0x96B123F5 runs over them and three zeros.
    uint8_t buffer[9 + kSealReserve];
    std::memset(buffer, 0xFF, sizeof buffer); // addSeal zeroes what it needs
    std::memcpy(buffer, "ab\r\r\n\r\n\r\n", 9);
    size_t n = addSeal(buffer, 9);
    const std::string expected = std::string("ab\r\r\n\r\n\r\n") + kMarker +
                                 code("B B BBBBBB   B  B   BB B BB B  B") +
                                 code("B  B                            ") + kNotice;
    ASSERT_EQ(n, expected.size());
    EXPECT_EQ(std::string(buffer, buffer + n), expected);
    EXPECT_EQ(buffer[n], 0); // terminated, the NUL not counted
    // CRC bit 0 is the seventh character from the first marker character.
    EXPECT_EQ(buffer[9 + 6], BS);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + n), sealedReport("ab\r\n"));
}

TEST(ReportSeal, VerifierUndoesTheSeal) {
    std::string memo;
    for (int i = 0; i < 50; ++i)
        memo += "line " + std::to_string(i) + "\r\n";
    std::vector<uint8_t> sealed = sealedReport(memo);
    SealCheck ok = verifySeal(sealed.data(), sealed.size());
    EXPECT_TRUE(ok.sealFound);
    EXPECT_TRUE(ok.valid);
    EXPECT_EQ(ok.contentLength, memo.size() + 5);
    EXPECT_EQ(ok.storedCrc, ok.computedCrc);

    // One changed byte anywhere in the content breaks the CRC.
    for (size_t at : {size_t(0), size_t(1), memo.size() / 2, memo.size() + 4}) {
        std::vector<uint8_t> edited = sealed;
        edited[at] ^= 0x01;
        SealCheck bad = verifySeal(edited.data(), edited.size());
        EXPECT_TRUE(bad.sealFound) << at;
        EXPECT_FALSE(bad.valid) << at;
    }
    // A byte added before the seal moves it away from the length it carries.
    std::vector<uint8_t> longer = sealed;
    longer.insert(longer.begin() + 3, 'x');
    EXPECT_FALSE(verifySeal(longer.data(), longer.size()).valid);
    // A changed seal or notice is no seal.
    std::vector<uint8_t> badCode = sealed;
    badCode[sealed.size() - kNotice.size() - 1] = 'x';
    EXPECT_FALSE(verifySeal(badCode.data(), badCode.size()).sealFound);
    EXPECT_FALSE(verifySeal(sealed.data(), sealed.size() - 1).sealFound);
    EXPECT_FALSE(verifySeal(sealed.data(), 10).sealFound);
}

TEST_F(Report, SaveToFileWritesTheSealedReport) {
    addFiveRecords();
    ReportBuild r = build({2026, 3, 1}, {2026, 3, 31});
    ASSERT_EQ(r.linesInRange, 4u);
    fs::path out = dir / "report.txt";
    ASSERT_EQ(saveReport(out, r.memo), ReportSaveStatus::Saved);
    std::vector<uint8_t> file = readBytes(out);
    EXPECT_EQ(file, sealedReport(r.memo));
    const std::string content = r.memo.substr(0, r.memo.size() - 1) + "\r\n\r\n\r\n";
    EXPECT_EQ(std::string(file.begin(), file.begin() + content.size()), content);
    SealCheck check = verifySeal(file.data(), file.size());
    EXPECT_TRUE(check.valid);
    EXPECT_EQ(check.contentLength, content.size());

    EXPECT_EQ(saveReport(dir / "no-folder" / "report.txt", r.memo),
              ReportSaveStatus::CantCreateFile);
    EXPECT_EQ(reportSaveMessage(ReportSaveStatus::CantCreateFile).text,
              std::string("Can't Create File !"));
}

// The log tool's report streams records in and the sealed file out: its
// bytes are those Save to File writes for the memo Build report makes, for
// ranges that select all, some or none of the records, over a log long
// enough to cross several chunks.
TEST_F(Report, AStreamedReportHasTheBytesOfSaveToFile) {
    std::vector<uint8_t> records;
    for (uint32_t n = 0; n < 12000; ++n) {
        const RecordBytes r = copyRecord(n, 3 + int(n / 4000), 1 + int(n % 28));
        records.insert(records.end(), r.b.begin(), r.b.end());
    }
    writeBytes(db, records.data(), records.size(), true);
    const fs::path out = dir / "streamed.txt";
    struct Range {
        ReportDate from, to;
        uint32_t lines;
    } ranges[] = {{{2026, 3, 1}, {2026, 5, 31}, 12000},
                  {{2026, 4, 3}, {2026, 4, 3}, 143},
                  {{2027, 1, 1}, {2027, 1, 1}, 0}};
    for (const Range& range : ranges) {
        const StreamedReport s = writeSealedReport(db, info, range.from, range.to, clock, out);
        ASSERT_EQ(s.save, ReportSaveStatus::Saved);
        EXPECT_EQ(s.records, 12000u);
        EXPECT_EQ(s.linesInRange, range.lines);
        const ReportBuild whole = build(range.from, range.to);
        EXPECT_EQ(whole.linesInRange, range.lines);
        const std::vector<uint8_t> file = readBytes(out);
        EXPECT_EQ(file, sealedReport(whole.memo)) << range.lines;
        EXPECT_FALSE(fs::exists(dir / "streamed.txt.part"));
        // The chunked verifier reads what the whole-file one reads.
        const SealCheck a = verifySealedFile(out), b = verifySeal(file.data(), file.size());
        EXPECT_TRUE(a.valid);
        EXPECT_EQ(a.computedCrc, b.computedCrc);
        EXPECT_EQ(a.contentLength, b.contentLength);
    }
    if (const size_t size = readBytes(out).size(); size > 0) {
        std::vector<uint8_t> edited = readBytes(out);
        edited[edited.size() / 3] ^= 0x40;
        writeBytes(out, edited.data(), edited.size());
        const SealCheck bad = verifySealedFile(out);
        EXPECT_TRUE(bad.sealFound);
        EXPECT_FALSE(bad.valid);
        EXPECT_EQ(bad.computedCrc, verifySeal(edited.data(), edited.size()).computedCrc);
    }
}

// A report that cannot be made leaves the chosen file as it was and no
// piece of the new one.
TEST_F(Report, AStreamedReportThatFailsLeavesTheOldFile) {
    addFiveRecords();
    const fs::path out = dir / "kept.txt";
    writeBytes(out, "old report", 10);
    const StreamedReport missing = writeSealedReport(dir / "missing.QX42.LOGDATA", info,
                                                     {2026, 3, 1}, {2026, 3, 31}, clock, out);
    EXPECT_EQ(missing.status, ReportStatus::ReadFailed);
    EXPECT_EQ(missing.readResult, DATABASE_NOT_EXIST);
    EXPECT_EQ(readText(out), "old report");

    const StreamedReport nowhere = writeSealedReport(db, info, {2026, 3, 1}, {2026, 3, 31}, clock,
                                                     dir / "no-folder" / "r.txt");
    EXPECT_EQ(nowhere.save, ReportSaveStatus::CantCreateFile);

    ASSERT_TRUE(createLogDatabase(dir / "empty.QX42.LOGDATA"));
    const StreamedReport empty = writeSealedReport(dir / "empty.QX42.LOGDATA", info, {2026, 3, 1},
                                                   {2026, 3, 31}, clock, out);
    EXPECT_EQ(empty.save, ReportSaveStatus::NoContents);
    EXPECT_EQ(readText(out), "old report");
    EXPECT_FALSE(fs::exists(dir / "kept.txt.part"));

    const SealCheck folder = verifySealedFile(dir);
    EXPECT_FALSE(folder.sealFound);
}
