// The get-device-info window as real widgets on the offscreen platform: its
// controls, the placement from its parameter file, the check controls by
// machine kind, and what it writes at program end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "devinfo/tform_action_getdeviceinfo.h"
#include "machine_window/widget_support.h"
#include "protocol/command_machine.h"
#include "support/layout_check.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

class GetDeviceInfoWindow : public ::testing::Test {
protected:
    void SetUp() override { testApplication(); }

    dupmon::test::TempDir tmp{"dupmon_devinfo_win"};
    fs::path dir{tmp.path};
    ManualClock clock;
    TestUi ui;
    MachineInfo info{};
    COMMAND_MACHINE engine{&info, clock, ui};
    CommandMachineRequests requests{engine};
};

} // namespace

TEST_F(GetDeviceInfoWindow, ControlsPlacementAndTheCheckByMachineKind) {
    std::ofstream(dir / "ids.txt") << "12\nword\n34\n";
    int top = -1, left = -1;
    std::ofstream(dir / "QX42_GetDeviceInfo_para.def") << "x\n40 30 700 420 \n"
                                                       << (dir / "my log.txt").string() << "\n"
                                                       << (dir / "ids.txt").string() << "\n";
    {
        TFormAction_GetDeviceInfo w(dir, clock, ui);
        EXPECT_EQ(w.windowTitle(), "Get Device Infomation");
        EXPECT_EQ(w.Button_selectFile->text(), "Set Append File");
        EXPECT_EQ(w.Button_setCheck_ID_file->text(), "Set Check ID File");
        EXPECT_EQ(w.Button_doGetDeviceInfo->text(), "Get Device Info.");
        EXPECT_EQ(w.Button_Exit->text(), "Exit");
        EXPECT_TRUE(w.Memo1->isReadOnly());
        EXPECT_EQ(unevenCharacters(w.Memo1->font()), "");
        EXPECT_EQ(w.Edit_TargetFilename->text(), "my log.txt");
        EXPECT_EQ(w.Edit_check_ID_filename->text(), "ids.txt");
        EXPECT_EQ(w.Edit_ID_Qty->text(), "2");
        EXPECT_EQ(w.geometry(), QRect(30, 40, 700, 420));

        // An SD machine that checks serial numbers: the check controls show.
        info.deviceType = 10;
        int shown = 0;
        whenModal([&](QWidget* d) {
            EXPECT_EQ(d, &w);
            EXPECT_TRUE(w.Button_setCheck_ID_file->isVisible());
            EXPECT_TRUE(w.Edit_ID_Qty->isVisible());
            EXPECT_TRUE(cleanLayout(&w, "get_device_info", "sd_machine_empty"));
            ++shown;
            w.Button_Exit->click();
        });
        w.showFor(&requests);

        // Any other kind: hidden, and the check's file is forgotten.
        info.deviceType = 5;
        whenModal([&](QWidget*) {
            EXPECT_FALSE(w.Button_setCheck_ID_file->isVisible());
            EXPECT_FALSE(w.Edit_check_ID_filename->isVisible());
            EXPECT_FALSE(w.Edit_ID_Qty->isVisible());
            EXPECT_TRUE(w.Button_doGetDeviceInfo->isEnabled());
            w.Button_doGetDeviceInfo->click();
            EXPECT_EQ(w.Memo1->toPlainText(), " \nGetting Data ....");
            EXPECT_FALSE(w.Button_Exit->isEnabled());
            w.showResult("Device Quantity = 0\r\n");
            EXPECT_EQ(w.Memo1->toPlainText(), "Device Quantity = 0\n");
            EXPECT_TRUE(w.Button_Exit->isEnabled());
            EXPECT_TRUE(cleanLayout(&w, "get_device_info", "usb_machine_result"));
            ++shown;
            w.Button_Exit->click();
        });
        w.showFor(&requests);
        EXPECT_EQ(shown, 2);
        w.move(50, 60);
        w.resize(640, 400);
        top = w.y();
        left = w.x();
    }
    // Program end: placement, append file, and " " for the forgotten check file.
    std::ifstream in(dir / "QX42_GetDeviceInfo_para.def");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), (dir / "QX42_GetDeviceInfo_para.def").string() + "\n" +
                              std::to_string(top) + " " + std::to_string(left) + " 640 400 \n" +
                              (dir / "my log.txt").string() + "\n \n");
    EXPECT_TRUE(fs::exists(dir / "my log.txt"));
}
