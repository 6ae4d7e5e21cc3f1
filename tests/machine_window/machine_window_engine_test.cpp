// The machine window over the real engine, the real link and a scripted
// controller on the virtual bus: menu actions become controller commands.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "machine_window/tform_machine.h"
#include "machine_window/widget_support.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_nickname.h"
#include "support/controller_script.h"
#include "support/engine_harness.h"
#include "support/mini_controller.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

class WindowOnEngine : public ::testing::Test {
protected:
    void SetUp() override {
        testApplication();
        script.install(mc);
        mc.handlers["W10"] = [](const MiniController::Command&, uint8_t&) {
            return std::vector<uint8_t>{};
        };
        mc.handlers["W11"] = [](const MiniController::Command&, uint8_t&) {
            const char* digits = "20260314080507";
            return std::vector<uint8_t>(digits, digits + 14);
        };
        mc.handlers["W5"] = [](const MiniController::Command&, uint8_t& r) {
            r = 0x41;
            return std::vector<uint8_t>{};
        };
        h.plug(mc.device);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 10000));
        h.run(200);
        window = std::make_unique<TFormMachine>(nullptr, nullptr, "Machine 1",
                                                dir / "MID-0001.QX42.LOGDATA", dir, h.info,
                                                &h.engine, h.ui, h.clock, dir);
    }
    void TearDown() override { window.reset(); }
    std::vector<const MiniController::Command*> sent(uint8_t sub) const {
        std::vector<const MiniController::Command*> v;
        for (const auto& c : mc.commands)
            if (c.letter == 'W' && !c.params.empty() && c.params[0] == sub)
                v.push_back(&c);
        return v;
    }

    EngineHarness h;
    MiniController mc;
    ControllerScript script;
    dupmon::test::TempDir tmp{"dupmon_mweng"};
    fs::path dir{tmp.path};
    std::unique_ptr<TFormMachine> window;
};

} // namespace

TEST_F(WindowOnEngine, CopyReachesTheMachineOnlyFromStandby) {
    std::vector<uint8_t> busy(28, 0);
    busy[2] = 1;
    busy[3] = 4;
    window->OnStatus(STATUS_MACHINE, busy.data());
    window->CopyClick();
    h.run(500);
    EXPECT_TRUE(sent(42).empty());
    ASSERT_EQ(h.ui.messages.size(), 1u);
    EXPECT_EQ(h.ui.messages[0].caption, "Can't Execute this function");

    std::vector<uint8_t> idle(28, 0);
    window->OnStatus(STATUS_MACHINE, idle.data());
    window->CopyClick();
    EXPECT_TRUE(h.runUntil([&] { return !sent(42).empty(); }, 2000));
    EXPECT_EQ(sent(42).size(), 1u);
}

TEST_F(WindowOnEngine, NicknameIsWrittenToTheMachine) {
    whenModal([](QWidget* d) {
        auto* dialog = static_cast<TForm_nickname*>(d);
        dialog->Edit_nickname->setText("Packing line");
        dialog->Button_OK->click();
    });
    window->ChangeNicknameClick();
    ASSERT_TRUE(h.runUntil([&] { return !mc.dataFrames.empty(); }, 2000));
    ASSERT_EQ(sent(5).size(), 1u);
    // "#", 0, 60, 0, then the 56 bytes of the name, zero-padded.
    const std::vector<uint8_t>& data = mc.dataFrames[0];
    ASSERT_GE(data.size(), 4u + 56u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data() + 4)), "Packing line");
    EXPECT_EQ(window->GroupBox_Machine->title(), "Packing line(v2.41.3)");
}

TEST_F(WindowOnEngine, ClockIsReadShownAndSynchronised) {
    QString machineClock;
    whenModal([&](QWidget* d) {
        auto* dialog = static_cast<TForm_changeMachineClock*>(d);
        machineClock = dialog->Edit_machineClock->text();
        dialog->Button_synchronize->click();
    });
    const size_t before = sent(12).size();
    window->ChangeMachineClockClick();
    EXPECT_EQ(machineClock, "2026-03-14 08:05:07");
    EXPECT_EQ(sent(11).size(), 1u);
    ASSERT_TRUE(h.runUntil([&] { return sent(12).size() > before; }, 2000));
}
