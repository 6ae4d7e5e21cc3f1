#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/text.h"
#include "logdb/log_database.h"
#include "shell/machine_slots.h"
#include "sim/virtual_bus.h"
#include "support/controller_script.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// Records what the slots ask of the board.
struct FakeBoard final : BoardView {
    int placed = 0;
    std::map<int, bool> on;
    std::map<int, int> connectionOf;
    std::vector<std::string> lines;
    bool timers = false, startupStopped = false, closed = false;

    int placePicture(const MachineInfo&) override { return placed++; }
    void showOn(int p, int c) override { on[p] = true, connectionOf[p] = c; }
    void showOff(int p, int c) override { on[p] = false, connectionOf[p] = c; }
    bool isOn(int p) const override { return on.count(p) && on.at(p); }
    int pictureConnection(int p) const override {
        return connectionOf.count(p) ? connectionOf.at(p) : -1;
    }
    void setCaption(int, const MachineInfo&) override {}
    void enableWorkTimers() override { timers = true; }
    void stopStartupTimer() override { startupStopped = true; }
    void closeMainWindow() override { closed = true; }
    void report(const std::string& line) override { lines.push_back(line); }
};

class SlotsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "DATABASE");
        fs::create_directories(dir / "DEBUG_SESSION");
    }
    void TearDown() override { slots.reset(); }
    // A controller with its own machine id on the bus.
    std::string plug(uint16_t pid, const std::string& id) {
        auto mc = std::make_unique<MiniController>();
        auto script = std::make_unique<ControllerScript>();
        script->machineId = id;
        script->logCount = 0;
        script->install(*mc);
        const std::string path = bus.plug(mc->device, 0x6C15, pid);
        controllers.push_back(std::move(mc));
        scripts.push_back(std::move(script));
        return path;
    }
    void start() {
        slots = std::make_unique<MachineSlots>(bus, &bus, clock, ui, board,
                                               ShellPaths::under(dir, dir / "no-program"));
        for (int i = 0; i < 4; ++i)
            slots->Timer3Timer();
        bus.poll(); // arrivals before discovery are not news
    }
    void run(uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            clock.advance(1);
            bus.pump();
            slots->pollWatcher();
            if (i % 10 == 0)
                slots->Timer1Timer();
            slots->Timer2Timer();
        }
    }

    dupmon::test::TempDir tmp{"dupmon-slots"};
    fs::path dir{tmp.path};
    ManualClock clock;
    VirtualBus bus{clock};
    TestUi ui;
    FakeBoard board;
    std::vector<std::unique_ptr<MiniController>> controllers;
    std::vector<std::unique_ptr<ControllerScript>> scripts;
    std::unique_ptr<MachineSlots> slots;
};

} // namespace

TEST_F(SlotsTest, StartUpFillsSlotsByProductIdInEnumerationOrder) {
    const auto a = plug(0x3001, "M-A");
    const auto b = plug(0x2001, "M-B");
    const auto c = plug(0x2001, "M-C");
    const auto d = plug(0x2001, "M-D");
    start();
    EXPECT_TRUE(board.timers);
    EXPECT_TRUE(board.startupStopped);
    ASSERT_EQ(slots->slotsInUse(), 4);
    EXPECT_EQ(slots->link(0)->devicePath(), b);
    EXPECT_EQ(slots->link(1)->devicePath(), c);
    EXPECT_EQ(slots->link(2)->devicePath(), d);
    EXPECT_EQ(slots->link(3)->devicePath(), a);
    // Every attach begins with the raw "R" report.
    run(5);
    ASSERT_FALSE(controllers[0]->device->reports.empty());
    EXPECT_EQ(controllers[0]->device->reports.front()[1], 'R');
    EXPECT_TRUE(fs::exists(dir / "DATABASE" / "BRELLOCK_QX42.DB7"));
}

TEST_F(SlotsTest, UnpluggedMachineComesBackToItsSlotAndCaseIsIgnoredOnRemoval) {
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i)
        paths.push_back(plug(0x2001, "M-" + std::to_string(i)));
    start();
    run(4000);
    EXPECT_TRUE(board.isOn(1));

    // The removal notice spells the path in capitals.
    std::string upper = paths[1];
    for (char& ch : upper)
        ch = char(std::toupper(static_cast<unsigned char>(ch)));
    slots->onDeviceChange({DeviceChange::Removal, upper});
    EXPECT_EQ(slots->link(1), nullptr);
    EXPECT_FALSE(board.isOn(1));

    bus.unplug(paths[1]);
    bus.poll();
    const auto again = plug(0x2001, "M-1");
    run(4000);
    ASSERT_NE(slots->link(1), nullptr);
    EXPECT_EQ(slots->link(1)->devicePath(), again);
    EXPECT_EQ(slots->slotsInUse(), 4);
    EXPECT_TRUE(board.isOn(1)); // same machine id: same picture
    EXPECT_EQ(board.placed, 4);
}

TEST_F(SlotsTest, ANinthMachineFindsNoRegistryEntry) {
    start();
    for (int i = 0; i < 9; ++i)
        plug(0x2001, "M-" + std::to_string(i));
    run(5000);
    EXPECT_EQ(slots->slotsInUse(), 9);
    EXPECT_EQ(board.placed, 8);
    ASSERT_EQ(ui.messages.size(), 1u);
    // The message names the machine left out and the limit, in the same box.
    const std::string& text = ui.messages[0].text;
    EXPECT_EQ(text.rfind("Can't add machine !\n", 0), 0u) << text;
    EXPECT_NE(text.find("at most 8 machines"), std::string::npos) << text;
    int named = 0;
    for (int i = 0; i < 9; ++i) {
        const std::string id = "M-" + std::to_string(i);
        MachineInfo probe{};
        copyField(probe.machineId, sizeof probe.machineId, id);
        int position = 0;
        const bool registered = slots->registry().findMachine(probe, &position);
        const bool mentioned = text.find("Machine id: " + id + " ") != std::string::npos;
        EXPECT_NE(registered, mentioned) << id;
        named += mentioned;
    }
    EXPECT_EQ(named, 1);
    EXPECT_EQ(ui.messages[0].caption, "Message");
}

TEST_F(SlotsTest, NewMachineIsRegisteredAtOnceAndUpdatedAtClose) {
    plug(0x2001, "M-NEW");
    start();
    run(4000);
    slots->registry().waitForWrites(); // written on the worker, not on the GUI thread
    EXPECT_FALSE(slots->registry().changed());
    SYSTEM_DATABASE reg;
    ASSERT_EQ(reg.open((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
    ASSERT_TRUE(reg.isInUse(0));
    EXPECT_STREQ(reg.entry(0).machineId, "M-NEW");
    EXPECT_STREQ(reg.entry(0).nickName, "Line 3");

    // A new nickname is kept in memory and reaches the file at close.
    slots->connection(0).info().nickName[0] = 'X';
    SYSTEM_DATABASE before;
    before.open((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string());
    EXPECT_STREQ(before.entry(0).nickName, "Line 3");
    slots->formClose();
    SYSTEM_DATABASE after;
    ASSERT_EQ(after.open((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
    EXPECT_STREQ(after.entry(0).nickName, "Xine 3");
}

// Two machines whose ids differ only in a character that cannot stand in a
// file name: each log goes to its own database, whole.
TEST_F(SlotsTest, IdsThatLookAlikeAsFileNamesKeepTheirOwnDatabases) {
    plug(0x2001, "X_1");
    plug(0x2001, "X/1");
    scripts[0]->logCount = 6;
    scripts[1]->logFirstNo = 900;
    scripts[1]->logCount = 4;
    start();
    run(8000);
    const auto a = readLogDatabase(dir / "DATABASE" / "X_1.QX42.LOGDATA");
    const auto b = readLogDatabase(dir / "DATABASE" / "X%2F1.QX42.LOGDATA");
    ASSERT_EQ(a.result, PASS);
    ASSERT_EQ(b.result, PASS);
    ASSERT_EQ(a.count, 6u);
    ASSERT_EQ(b.count, 4u);
    for (uint32_t i = 0; i < a.count; ++i)
        EXPECT_EQ(readBE32(a.record(i)), 500 + i);
    for (uint32_t i = 0; i < b.count; ++i)
        EXPECT_EQ(readBE32(b.record(i)), 900 + i);
    EXPECT_FALSE(fs::exists(dir / "X"));
}

TEST_F(SlotsTest, ARegistryOfAnotherVersionStopsTheStart) {
    {
        SYSTEM_DATABASE reg;
        ASSERT_EQ(reg.create((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
    }
    std::fstream f(dir / "DATABASE" / "BRELLOCK_QX42.DB7",
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(100);
    f.write("9", 1);
    f.close();
    slots = std::make_unique<MachineSlots>(bus, &bus, clock, ui, board,
                                           ShellPaths::under(dir, dir / "no-program"));
    slots->Timer3Timer();
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "DATABASE_WRONG_VERSION\n" +
                                       (dir / "DATABASE" / "BRELLOCK_QX42.DB7").string() +
                                       ": its version is not 2.01.10.02");
    EXPECT_EQ(ui.messages[0].caption, "Message");
    EXPECT_TRUE(board.closed);
}

TEST_F(SlotsTest, ARegistryCutShortIsCompletedWithAMessageAndTheStartGoesOn) {
    {
        SYSTEM_DATABASE reg;
        ASSERT_EQ(reg.create((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
    }
    std::filesystem::resize_file(dir / "DATABASE" / "BRELLOCK_QX42.DB7", 120);
    slots = std::make_unique<MachineSlots>(bus, &bus, clock, ui, board,
                                           ShellPaths::under(dir, dir / "no-program"));
    slots->Timer3Timer();
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("was 120 bytes long"), std::string::npos);
    EXPECT_FALSE(board.closed);
    EXPECT_EQ(std::filesystem::file_size(dir / "DATABASE" / "BRELLOCK_QX42.DB7"), 9144u);
}

#include "common/position_file.h"
#include "common/version.h"
#include "shell/window_position.h"

TEST(MainWindowPosition, TheFileNamesTheProgramAndAnyFirstLineReads) {
    const std::string written = formatWindowPosition({1, 2, 3, 4});
    EXPECT_EQ(written.rfind(std::string(kModelString) + " Ver:", 0), 0u) << written;
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 2);
    EXPECT_EQ(written.substr(written.find('\n') + 1), "1 2 3 4 \n");
    EXPECT_EQ(parsePositionFile(written, std::nullopt), (WindowRect{1, 2, 3, 4}));
}

TEST_F(SlotsTest, ChangesBeforeDiscoveryAreLeftToTheEnumeration) {
    plug(0x2001, "M-EARLY");
    slots = std::make_unique<MachineSlots>(bus, &bus, clock, ui, board,
                                           ShellPaths::under(dir, dir / "no-program"));
    // Input polling starts one step before discovery; the arrival is still queued.
    slots->Timer3Timer();
    slots->Timer3Timer();
    slots->pollWatcher();
    EXPECT_EQ(slots->link(0), nullptr);
    slots->Timer3Timer();
    ASSERT_NE(slots->link(0), nullptr);
    slots->pollWatcher(); // the same arrival again: already open
    EXPECT_EQ(slots->slotsInUse(), 1);
    run(4000);
    EXPECT_TRUE(board.isOn(0));
}

// What a link notes about itself is for the debug file of its machine, found
// at discovery or plugged in later; the board (the console of the headless
// program) hears only what an operator can act on.
TEST_F(SlotsTest, TheLinksOwnNotesGoToTheMachinesDebugFileNotTheBoard) {
    plug(0x2001, "M-FOUND");
    start();
    plug(0x2001, "M-PLUGGED");
    run(5000);
    ASSERT_EQ(slots->slotsInUse(), 2);
    for (int c = 0; c < 2; ++c) {
        MACHINE& m = slots->connection(c);
        SCOPED_TRACE(m.info().machineId);
        ASSERT_TRUE(m.debugFileOpen());
        std::ifstream in(m.debugFilePath());
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        const size_t connect = text.find("Machine connect ! ");
        const size_t note = text.find("input buffers: 512 asked for");
        ASSERT_NE(note, std::string::npos) << text;
        EXPECT_GT(note, connect) << text;
    }
    for (const std::string& line : board.lines)
        EXPECT_EQ(line.find("input buffers"), std::string::npos) << line;
    EXPECT_FALSE(board.lines.empty());
}
