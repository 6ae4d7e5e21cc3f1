// The get-device-info window without the window: parameter file, append
// file, check-ID file and its bound, checkSerial, showResult, activation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "devinfo/get_device_info.h"
#include "protocol/command_machine.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAll(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

class DeviceInfoCore : public ::testing::Test {
protected:
    // The requests of a machine of this kind; its engine is never bound, so
    // requests only set flags.
    MachineRequests& machineOf(uint8_t deviceType) {
        info.deviceType = deviceType;
        return requests;
    }

    dupmon::test::TempDir tmp{"dupmon_devinfo"};
    fs::path dir{tmp.path};
    ManualClock clock{{2026, 3, 15, 10, 0, 0, 0, 0}};
    TestUi ui;
    MachineInfo info{};
    COMMAND_MACHINE engine{&info, clock, ui};
    CommandMachineRequests requests{engine};
};

} // namespace

TEST(CheckIdFile, ReadsOneNumberPerLineAndSkipsTheRest) {
    struct Case {
        std::string text;
        std::vector<uint32_t> ids;
    } cases[] = {
        {"12\nword\n34\n", {12, 34}},
        {"  7\n\t8\n+9\n-10\n", {7, 8, 9}},
        {"4294967295\n4294967296\n99999999999999999999\n", {4294967295u}},
        {"12abc\n5 6\r\n", {12, 5}},
        {"1\r\n2\r\n3", {1, 2, 3}},
        {"", {}},
        {"\n\n\n", {}},
        // The rest of a line longer than 128 bytes is not a line of its own.
        {std::string(130, 'x') + "77\n88\n", {88}},
        {std::string(126, ' ') + "1234\n", {12}},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        const CheckIdFileRead r = readCheckIds(in);
        EXPECT_EQ(r.ids, c.ids) << c.text;
        EXPECT_FALSE(r.overflow);
    }
    std::istringstream three("1\n2\nx\n3\n");
    const CheckIdFileRead r = readCheckIds(three, 2);
    EXPECT_EQ(r.ids, (std::vector<uint32_t>{1, 2}));
    EXPECT_TRUE(r.overflow);
    std::istringstream exactly("1\n2\nx\n");
    EXPECT_FALSE(readCheckIds(exactly, 2).overflow);
}

TEST(DeviceInfoParameterFile, ParsesAndFits) {
    std::istringstream in(
        "/x/QX42_GetDeviceInfo_para.def\n10 20 640 480 \n  /data/my append.txt  \n \n");
    const DeviceInfoParameters p = parseDeviceInfoParameters(in);
    EXPECT_TRUE(p.placementRead);
    EXPECT_EQ(p.top, 10);
    EXPECT_EQ(p.left, 20);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    EXPECT_EQ(p.appendPath, "/data/my append.txt");
    EXPECT_EQ(p.checkIdPath, "");

    // Written elsewhere: CR LF line ends, blanks before and after them.
    std::istringstream crlf("own\r\n1 2 3 4\r\n /a b.txt \r \r\n/c.txt\r\n");
    const DeviceInfoParameters w = parseDeviceInfoParameters(crlf);
    EXPECT_TRUE(w.placementRead);
    EXPECT_EQ(w.appendPath, "/a b.txt");
    EXPECT_EQ(w.checkIdPath, "/c.txt");

    std::istringstream three("own\n1 2 3\n" + std::string(600, 'a') + "\n");
    const DeviceInfoParameters q = parseDeviceInfoParameters(three);
    EXPECT_FALSE(q.placementRead);
    EXPECT_EQ(q.appendPath, ""); // longer than a path may be

    struct Case {
        int top, left, width, height;
        bool fits;
    } cases[] = {
        {0, 0, 1024, 768, true}, {767, 1023, 10, 10, true}, {0, 0, 1025, 300, false},
        {0, 0, 300, 769, false}, {768, 0, 10, 10, false},   {0, 1024, 10, 10, false},
        {-1, 0, 10, 10, false},  {0, -5, 10, 10, false},    {0, 0, 0, 10, false},
        {0, 0, 10, -10, false},
    };
    for (const auto& c : cases) {
        DeviceInfoParameters r;
        r.placementRead = true;
        r.top = c.top;
        r.left = c.left;
        r.width = c.width;
        r.height = c.height;
        EXPECT_EQ(deviceInfoPlacementFits(r, 1024, 768), c.fits)
            << c.top << " " << c.left << " " << c.width << " " << c.height;
    }
}

TEST_F(DeviceInfoCore, ParameterFileRoundTripKeepsPathsWithBlanks) {
    const std::string append = (dir / "device log with blanks.txt").string();
    const std::string check = (dir / "ids list.txt").string();
    {
        GetDeviceInfoCore core(dir, clock, ui);
        core.create(1920, 1080);
        EXPECT_FALSE(core.usePlacement());
        ASSERT_TRUE(core.chooseAppendFile(append));
        ASSERT_TRUE(core.chooseCheckIdFile(check));
        core.destroy(100, 200, 700, 500);
    }
    const fs::path file = dir / "QX42_GetDeviceInfo_para.def";
    EXPECT_EQ(readAll(file), file.string() + "\n100 200 700 500 \n" + append + "\n" + check + "\n");

    GetDeviceInfoCore again(dir, clock, ui);
    again.create(1920, 1080);
    EXPECT_TRUE(again.usePlacement());
    EXPECT_EQ(again.startParameters().width, 700);
    EXPECT_EQ(again.appendPath(), append);
    EXPECT_EQ(again.appendFileName(), "device log with blanks.txt");
    EXPECT_EQ(again.checkIdPath(), check);
    EXPECT_EQ(again.checkIdFileName(), "ids list.txt");
    EXPECT_TRUE(again.checkEnabled()); // loaded at create, although the file does not exist
    EXPECT_EQ(again.idQtyText(), "");

    // A placement wider than the screen is not used.
    GetDeviceInfoCore small(dir, clock, ui);
    small.create(640, 1080);
    EXPECT_FALSE(small.usePlacement());
}

TEST_F(DeviceInfoCore, OtherMachinesHideTheCheckAndForgetItsFile) {
    const fs::path check = dir / "ids.txt";
    writeAll(check, "12\nword\n34\n");
    GetDeviceInfoCore core(dir, clock, ui);
    core.create(1920, 1080);
    ASSERT_TRUE(core.chooseCheckIdFile(check));
    EXPECT_EQ(core.idQtyText(), "2");
    EXPECT_EQ(core.checkIds(), (std::vector<uint32_t>{12, 34}));

    core.setMachine(&machineOf(10));
    core.activate();
    EXPECT_TRUE(core.checkControlsVisible());
    EXPECT_TRUE(core.checkEnabled());

    core.setMachine(&machineOf(5));
    core.activate();
    EXPECT_FALSE(core.checkControlsVisible());
    EXPECT_FALSE(core.checkEnabled());
    EXPECT_EQ(core.checkIdFileName(), "");
    EXPECT_EQ(core.idQtyText(), "");
    EXPECT_FALSE(core.checkSerial(12)); // no check without the file
    core.destroy(1, 2, 3, 4);
    const fs::path file = dir / "QX42_GetDeviceInfo_para.def";
    EXPECT_EQ(readAll(file), file.string() + "\n1 2 3 4 \n \n \n");
}

TEST_F(DeviceInfoCore, CheckSerialKeepsAndAppendsNewNumbersOnly) {
    const fs::path check = dir / "ids.txt";
    writeAll(check, "12\nword\n34\n");
    GetDeviceInfoCore core(dir, clock, ui);
    core.create(1920, 1080);
    EXPECT_FALSE(core.checkSerial(12)); // no check before a file is chosen
    ASSERT_TRUE(core.chooseCheckIdFile(check));

    EXPECT_TRUE(core.checkSerial(34));
    EXPECT_EQ(readAll(check), "12\nword\n34\n");
    EXPECT_EQ(core.idQtyText(), "2");

    EXPECT_FALSE(core.checkSerial(4000000000u));
    EXPECT_EQ(core.idQtyText(), "3");
    EXPECT_TRUE(core.checkSerial(4000000000u));
    EXPECT_FALSE(core.checkSerial(56));
    EXPECT_EQ(core.idQtyText(), "4");
    // The new numbers reach the file whole with their result.
    core.showResult("Device Quantity = 2\r\n");
    EXPECT_EQ(readAll(check), "12\nword\n34\n4000000000\n56\n");

    // A check-ID file that cannot be written: the number is still kept.
    GetDeviceInfoCore unwritable(dir, clock, ui);
    unwritable.create(1920, 1080);
    ASSERT_TRUE(unwritable.chooseCheckIdFile(dir / "no such folder" / "ids.txt"));
    EXPECT_TRUE(unwritable.checkEnabled());
    EXPECT_FALSE(unwritable.checkSerial(5));
    EXPECT_TRUE(unwritable.checkSerial(5));
    EXPECT_EQ(unwritable.idQtyText(), "1");
}

TEST_F(DeviceInfoCore, AFullCheckListKeepsCheckingButRecordsNothingNew) {
    // One number more than the list holds.
    std::string text;
    for (uint32_t n = 1; n <= kMaxCheckIds + 1; ++n)
        text += std::to_string(n) + "\n";
    const fs::path check = dir / "ids.txt";
    writeAll(check, text);
    GetDeviceInfoCore core(dir, clock, ui);
    core.create(1920, 1080);
    ASSERT_TRUE(core.chooseCheckIdFile(check));
    EXPECT_EQ(core.checkIds().size(), kMaxCheckIds);
    EXPECT_EQ(core.idQtyText(), "100000 (full)");
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].caption, "Warning");

    core.getDeviceInfo();
    EXPECT_TRUE(core.checkSerial(kMaxCheckIds));      // still found
    EXPECT_FALSE(core.checkSerial(kMaxCheckIds + 1)); // beyond the bound: not recorded
    EXPECT_FALSE(core.checkSerial(kMaxCheckIds + 1));
    EXPECT_FALSE(core.checkSerial(777777777));
    EXPECT_EQ(core.checkIds().size(), kMaxCheckIds);
    EXPECT_EQ(readAll(check), text);
    core.showResult("Device Quantity = 0\r\n");
    EXPECT_EQ(core.memo(), "Device Quantity = 0\r\nWARNING !  The check ID list is full (100000 "
                           "numbers): 3 new serial numbers were not recorded.\r\n");
    // The next result starts counting again.
    core.getDeviceInfo();
    core.showResult("x\r\n");
    EXPECT_EQ(core.memo(), "x\r\n");

    // Exactly full: no warning at loading, nothing new recorded.
    text.clear();
    for (uint32_t n = 1; n <= kMaxCheckIds; ++n)
        text += std::to_string(n) + "\n";
    writeAll(check, text);
    ui.messages.clear();
    ASSERT_TRUE(core.chooseCheckIdFile(check));
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(core.checkListFull());
    EXPECT_FALSE(core.checkSerial(0));
    EXPECT_EQ(readAll(check), text);
}

TEST_F(DeviceInfoCore, ResultsAreShownAndAppendedWithTheirTime) {
    GetDeviceInfoCore core(dir, clock, ui);
    core.create(1920, 1080);
    core.setMachine(&machineOf(2));
    core.activate();
    EXPECT_TRUE(core.buttonsEnabled());
    core.getDeviceInfo();
    EXPECT_FALSE(core.buttonsEnabled());
    EXPECT_EQ(core.memo(), " \r\nGetting Data ....");

    // No append file: shown only.
    core.showResult("Device Quantity = 1\r\n  1  Not Exist !\r\n");
    EXPECT_TRUE(core.buttonsEnabled());
    EXPECT_EQ(core.memo(), "Device Quantity = 1\r\n  1  Not Exist !\r\n");

    const fs::path append = dir / "append file.txt";
    ASSERT_TRUE(core.chooseAppendFile(append));
    EXPECT_EQ(core.appendFileName(), "append file.txt");
    core.getDeviceInfo();
    core.showResult("first\r\nresult\r\n");
    clock.advance(61000);
    core.getDeviceInfo();
    core.showResult("second\r\n");
    EXPECT_EQ(readAll(append), "\n\n2026-03-15 10:00:00\nfirst\nresult\n"
                               "\n\n2026-03-15 10:01:01\nsecond\n");

    // An append file that cannot be opened is skipped.
    ASSERT_TRUE(core.chooseAppendFile(dir / "missing" / "a.txt"));
    core.showResult("third\r\n");
    EXPECT_EQ(core.memo(), "third\r\n");
    EXPECT_FALSE(fs::exists(dir / "missing"));

    // A path longer than the window keeps is refused, the old one stays.
    const std::string tooLong = (dir / std::string(600, 'p')).string();
    EXPECT_FALSE(core.chooseAppendFile(tooLong));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].caption, "Error");
    EXPECT_EQ(core.appendFileName(), "a.txt");
}
