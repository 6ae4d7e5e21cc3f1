// What the report window decides: building on a picked range, the memo that
// belongs to one machine, the messages of each failure and the sealed file.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/text.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/report_window_model.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

RecordBytes copyRecord(uint32_t logNo, int day) {
    RecordBytes r;
    r.job(logNo, 2026, 3, day, 9, 5, 0, 2).u8(14, 1).be32(24, 2048).be32(32, 2048).be16(56, 61);
    return r;
}

class ReportWindow : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        info = machine("LINE-01", "UB-16", "A1B2C3");
        db = logDatabasePath(dir, info);
        ASSERT_TRUE(createLogDatabase(db));
        for (int day : {14, 15, 15, 16}) {
            RecordBytes r = copyRecord(next++, day);
            writeBytes(db, r.data(), 128, true);
        }
    }
    MachineInfo info;
    fs::path db;
    uint32_t next = 0;
    ManualClock clock;
};

std::string text(const std::optional<ReportMessage>& m) {
    return m ? std::string(m->text) + " / " + m->caption : "none";
}

} // namespace

TEST_F(ReportWindow, FailedBuildsSayWhyAndKeepTheMemo) {
    ReportWindowModel model(clock);
    model.setSource(db, info);
    ASSERT_EQ(text(model.build({2026, 3, 15}, {2026, 3, 15})), "none");
    const std::string built = model.memo();
    EXPECT_NE(built.find("0000002 2026-03-15"), std::string::npos);
    EXPECT_NE(built.find("0000003 2026-03-15"), std::string::npos);
    EXPECT_EQ(built.find("2026-03-14 09"), std::string::npos);

    struct {
        const char* name;
        ReportDate start, end;
        bool database; // the file is there
        const char* message;
    } cases[] = {
        {"start day after end day", {2026, 3, 16}, {2026, 3, 15}, true, "Illegal Date ! / Error"},
        {"start month after end month",
         {2026, 4, 1},
         {2026, 3, 31},
         true,
         "Illegal Date ! / Error"},
        {"start year after end year", {2027, 1, 1}, {2026, 12, 31}, true, "Illegal Date ! / Error"},
        {"no database", {2026, 3, 1}, {2026, 3, 31}, false, "Read Log File FAIL ! / Error"},
    };
    for (const auto& c : cases) {
        if (!c.database)
            fs::rename(db, dir / "moved away");
        EXPECT_EQ(text(model.build(c.start, c.end)), c.message) << c.name;
        EXPECT_EQ(model.memo(), built) << c.name;
    }
}

TEST_F(ReportWindow, AnotherMachineStartsEmptyAndNeverSavesTheFirstOnesReport) {
    ReportWindowModel model(clock);
    EXPECT_TRUE(model.setSource(db, info));
    EXPECT_EQ(model.windowTitle(), "Report - LINE-01 [A1B2C3]");
    ASSERT_FALSE(model.build({2026, 3, 1}, {2026, 3, 31}));
    const std::string first = model.memo();
    ASSERT_NE(first.find("A1B2C3"), std::string::npos);
    // The same machine again keeps its report.
    EXPECT_FALSE(model.setSource(db, info));
    EXPECT_EQ(model.memo(), first);

    MachineInfo other = machine("", "CF-8", "CF0001", 5);
    const fs::path otherDb = logDatabasePath(dir, other);
    ASSERT_TRUE(createLogDatabase(otherDb));
    RecordBytes r = copyRecord(0, 15);
    writeBytes(otherDb, r.data(), 128, true);
    EXPECT_TRUE(model.setSource(otherDb, other));
    EXPECT_EQ(model.windowTitle(), "Report - CF-8 [CF0001]");
    EXPECT_EQ(model.memo(), "");
    EXPECT_EQ(text(model.checkSomethingToSave()), "no contents need to be saved ! / ERROR !");
    ASSERT_FALSE(model.build({2026, 3, 1}, {2026, 3, 31}));
    EXPECT_NE(model.memo().find("CF0001"), std::string::npos);
    EXPECT_EQ(model.memo().find("A1B2C3"), std::string::npos);
    const fs::path file = dir / "report.txt";
    ASSERT_EQ(text(model.save(file)), "none");
    const std::vector<uint8_t> bytes = readBytes(file);
    const std::string saved(bytes.begin(), bytes.end());
    EXPECT_NE(saved.find("CF0001"), std::string::npos);
    EXPECT_EQ(saved.find("A1B2C3"), std::string::npos);

    // A machine whose id is another, at the same database path, is another machine too.
    MachineInfo renamed = other;
    copyField(renamed.machineId, sizeof renamed.machineId, "CF0002");
    EXPECT_TRUE(model.setSource(otherDb, renamed));
    EXPECT_EQ(model.memo(), "");

    // An empty database leaves the memo empty, with nothing to save.
    fs::remove(otherDb);
    ASSERT_TRUE(createLogDatabase(otherDb));
    ASSERT_FALSE(model.build({2026, 3, 1}, {2026, 3, 31}));
    EXPECT_EQ(model.memo(), "");
    EXPECT_EQ(text(model.checkSomethingToSave()), "no contents need to be saved ! / ERROR !");
}

TEST_F(ReportWindow, TheMachineIsCopiedWhenTheSourceIsSet) {
    ReportWindowModel model(clock);
    {
        MachineInfo shortLived = info;
        model.setSource(db, shortLived);
        copyField(shortLived.nickName, sizeof shortLived.nickName, "CHANGED");
    }
    ASSERT_FALSE(model.build({2026, 3, 15}, {2026, 3, 15}));
    EXPECT_NE(model.memo().find("    Nickname: LINE-01\r\n"), std::string::npos);
}

TEST_F(ReportWindow, SavedReportCarriesAValidSealAndFailuresHaveTheirMessages) {
    ReportWindowModel model(clock);
    model.setSource(db, info);
    ASSERT_FALSE(model.build({2026, 3, 14}, {2026, 3, 16}));
    const fs::path file = dir / "report.txt";
    EXPECT_EQ(text(model.save(file)), "none");
    const std::vector<uint8_t> bytes = readBytes(file);
    const SealCheck check = verifySeal(bytes.data(), bytes.size());
    EXPECT_TRUE(check.valid);
    EXPECT_EQ(check.contentLength, model.memo().size() - 1 + 6);

    EXPECT_EQ(text(model.save(dir / "no such folder" / "r.txt")), "Can't Create File ! / ERROR !");
    EXPECT_FALSE(fs::exists(dir / "no such folder"));
}

TEST_F(ReportWindow, PickersStartOnToday) {
    clock.setLocalTime({2026, 7, 4, 12, 0, 0});
    ReportWindowModel model(clock);
    const ReportDate today = model.today();
    EXPECT_EQ(today.year, 2026);
    EXPECT_EQ(today.month, 7);
    EXPECT_EQ(today.day, 4);
}

TEST(ReportWindowGeometry, EightHundredBySixHundredCutToTheScreenAndCentred) {
    using G = ReportWindowModel::Geometry;
    struct {
        int w, h;
        G expect;
    } cases[] = {{1920, 1080, {560, 240, 800, 600}},
                 {1024, 768, {112, 84, 800, 600}},
                 {800, 600, {0, 0, 800, 600}},
                 {640, 480, {0, 0, 640, 480}},
                 {1280, 500, {240, 0, 800, 500}}};
    for (const auto& c : cases)
        EXPECT_EQ(ReportWindowModel::initialGeometry(c.w, c.h), c.expect) << c.w << "x" << c.h;
}

TEST(ReportMemoDisplay, LineEndsShowAsOneLineBreak) {
    struct {
        std::string memo, shown;
    } cases[] = {{"a\r\nb\r\n", "a\nb\n"},
                 {"\n  Print Date: x\n\r\n\r\n", "\n  Print Date: x\n\n\n"},
                 {"tail\r", "tail\r"},
                 {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(memoDisplayText(c.memo), c.shown);
}
