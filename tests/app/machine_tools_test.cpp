// The machine window's tools in the whole program, against stand-in machines
// on the virtual bus: Get Info on an SD machine that checks serial numbers,
// the setup dialog, and a walk over every visible menu item.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "devinfo/tform_action_getdeviceinfo.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_change_setupvalue.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "sim/simulated_drives.h"
#include "sim/stand_in.h"
#include "support/layout_check.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The program with stand-in machines, on a manual clock that a zero-time
// timer moves on, so the program's own event loops (modal windows, waiting
// requests) keep the machines and the engines going.
class ProgramWithStandIns : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "machine_tools_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }
    void SetUp() override {
        ui.onProcessEvents = [] { QApplication::processEvents(QEventLoop::AllEvents); };
    }
    void TearDown() override {
        ticker.stop();
        if (form)
            form->close();
        form.reset();
    }

    std::shared_ptr<StandInController> plug(const char* profile) {
        auto m = StandInController::create(profile, clock);
        bus.plug(m, CUsbhidioc::kVendorId, m->profile().productId);
        machines.push_back(m);
        return m;
    }
    void start(bool serviceItems = false, DriveService* drives = nullptr) {
        form = std::make_unique<TForm1>(bus, &bus, clock, ui, dir, dir / "no-program");
        if (drives)
            form->installDownloadWindow(*drives, ui, clock);
        form->showServiceItems(serviceItems);
        for (int i = 0; i < 4; ++i)
            form->machineSlots().Timer3Timer();
        QObject::connect(&ticker, &QTimer::timeout, [this] { step(); });
        ticker.start(0);
        ASSERT_TRUE(spin([&] {
            if (form->picturesPlaced() != int(machines.size()))
                return false;
            for (int k = 0; k < form->picturesPlaced(); ++k)
                if (!form->picture(k).isOn())
                    return false;
            return true;
        }));
    }
    void step() {
        clock.advance(1);
        bus.pump();
        form->machineSlots().Timer1Timer();
        form->machineSlots().Timer2Timer();
    }
    template <class F> bool spin(F done, int ms = 20000) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    }
    // The machine window of picture k, opened as a click on the picture does.
    TFormMachine* openWindow(int k) {
        form->machineSlots().pictureClick(k);
        MACHINE& m = form->machineSlots().connection(form->picture(k).connection());
        auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
        if (!adapter)
            return nullptr;
        TFormMachine* w = adapter->window();
        return spin([&] { return w->IsStandby(); }) ? w : nullptr;
    }

    dupmon::test::TempDir tmp{"dupmon-tools"};
    fs::path dir{tmp.path};
    ManualClock clock;
    VirtualBus bus{clock};
    TestUi ui;
    std::vector<std::shared_ptr<StandInController>> machines;
    std::unique_ptr<TForm1> form;
    QTimer ticker;
};

// Acts on whatever modal window is up, once per millisecond of real time;
// `act` returns true when it is done with it. A script that has not closed
// its windows after a minute fails the test and closes them, so a window
// that never reaches the state the script waits for ends the test instead of
// hanging it.
class ModalScript {
public:
    explicit ModalScript(std::function<bool(QWidget*)> act) : act_(std::move(act)) {
        started_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* w = QApplication::activeModalWidget();
            if (!w)
                return;
            if (started_.elapsed() < kGiveUpMs) {
                act_(w);
                return;
            }
            ADD_FAILURE() << "modal window " << w->objectName().toStdString() << " ("
                          << w->windowTitle().toStdString() << ") still open after " << kGiveUpMs
                          << " ms";
            if (auto* d = qobject_cast<QDialog*>(w))
                d->reject();
            else
                w->close();
        });
        timer_.start(1);
    }

private:
    static constexpr qint64 kGiveUpMs = 60000;
    std::function<bool(QWidget*)> act_;
    QElapsedTimer started_;
    QTimer timer_;
};

void clickLater(QPushButton* b) {
    QTimer::singleShot(0, b, [b] { b->click(); });
}

} // namespace

TEST_F(ProgramWithStandIns, GetInfoOnTheSdMachineWarnsOfTheRepeatAndMarksItsPort) {
    auto sd = plug("sd20");
    start();
    TFormMachine* w = openWindow(0);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->Item_GetInfo->isVisible());
    ASSERT_TRUE(w->Item_GetInfo->isEnabled());

    const fs::path ids = dir / "ids.txt";
    const fs::path append = dir / "device log.txt";
    std::ofstream(ids) << "12\n";
    TFormAction_GetDeviceInfo& g = form->getDeviceInfoWindow();
    int phase = 0;
    bool appendDialogSeen = false;
    int results = 0;
    std::string firstMemo, secondMemo;
    fs::path chosen;
    ModalScript script([&](QWidget* modal) {
        if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            // Typed into the file name field, as an operator does.
            // The dialog fills its list from another thread and may select
            // again the file chosen last time after the name was typed: the
            // dialog is accepted only once it names the chosen file.
            auto* name = files->findChild<QLineEdit*>("fileNameEdit");
            EXPECT_NE(name, nullptr);
            const QString want = QString::fromStdString(chosen.string());
            if (phase == 2 && !appendDialogSeen) {
                // The append file's dialog does not offer the check-ID file.
                appendDialogSeen = true;
                EXPECT_FALSE(files->selectedFiles().value(0).endsWith("ids.txt"));
                if (name) {
                    EXPECT_EQ(name->text(), "");
                }
            }
            if (files->selectedFiles().value(0) != want) {
                files->selectFile(want);
                if (name && name->text() != want)
                    name->setText(want);
            } else {
                static_cast<QDialog*>(files)->accept(); // as the dialog's own button does
            }
            return true;
        }
        if (modal != &g)
            return false;
        switch (phase) {
        case 0: // choose the check-ID file, then the append file
            EXPECT_EQ(g.windowTitle().toStdString(),
                      "Get Device Infomation - SIM SD 20 [" + sd->machine().machineId + "]");
            EXPECT_TRUE(g.Button_setCheck_ID_file->isVisible());
            chosen = ids;
            phase = 1;
            clickLater(g.Button_setCheck_ID_file);
            break;
        case 1:
            if (g.Edit_check_ID_filename->text() != "ids.txt")
                break;
            EXPECT_EQ(g.Edit_ID_Qty->text(), "1");
            chosen = append;
            phase = 2;
            clickLater(g.Button_selectFile);
            break;
        case 2:
            if (g.Edit_TargetFilename->text() != "device log.txt")
                break;
            phase = 3;
            clickLater(g.Button_doGetDeviceInfo);
            break;
        case 3: // fetching, then the first result, read until its port is marked
            if (!g.Button_Exit->isEnabled() || sd->commands('W', 85).empty())
                break;
            firstMemo = g.Memo1->toPlainText().toStdString();
            EXPECT_TRUE(cleanLayout(&g, "get_device_info", "sd_repeated_serial"));
            ++results;
            phase = 4;
            clickLater(g.Button_doGetDeviceInfo); // again: now every card was seen
            break;
        case 4:
            if (!g.Button_Exit->isEnabled())
                break;
            secondMemo = g.Memo1->toPlainText().toStdString();
            ++results;
            phase = 5;
            clickLater(g.Button_Exit);
            break;
        }
        return true;
    });
    w->Item_GetInfo->trigger(); // returns when the window closes
    ASSERT_EQ(results, 2);

    // The first result: twenty cards, the one in port 8 repeating port 3's number.
    EXPECT_NE(firstMemo.find("Device Quantity = 20\n"), std::string::npos) << firstMemo;
    EXPECT_EQ(count(firstMemo, "WARNING !  Repeat Serial Number !"), 1u) << firstMemo;
    const size_t line8 = firstMemo.find("\n  8  ");
    ASSERT_NE(line8, std::string::npos);
    EXPECT_EQ(firstMemo.find("WARNING"), firstMemo.find("WARNING", line8));
    EXPECT_NE(firstMemo.find(" (MMC)"), std::string::npos);
    // The second: every card's number is in the list now.
    EXPECT_EQ(count(secondMemo, "WARNING !  Repeat Serial Number !"), 20u);

    // On the wire: one mark for port 8, then one for each of the twenty ports,
    // and the release when the window closed.
    ASSERT_TRUE(spin([&] { return sd->machine().releases == 1; }));
    std::vector<uint16_t> marked;
    for (const HostFrame& f : sd->commands('W', 85))
        marked.push_back(uint16_t(f.params.at(3) << 8 | f.params.at(4)));
    std::vector<uint16_t> expected{8};
    for (uint16_t p = 1; p <= 20; ++p)
        expected.push_back(p);
    EXPECT_EQ(marked, expected);
    EXPECT_TRUE(sd->machine().port(7).marked);
    EXPECT_FALSE(sd->machine().deviceInfoSession);
    EXPECT_EQ(sd->commands('W', 81).size(), 1u);

    // The check-ID file: the old number, then the nineteen new ones; the
    // append file: both results with their time.
    const std::string idText = readAll(ids);
    EXPECT_EQ(count(idText, "\n"), 20u);
    EXPECT_EQ(idText.rfind("12\n", 0), 0u);
    const std::string appended = readAll(append);
    EXPECT_EQ(count(appended, "Device Quantity = 20\n"), 2u);
    EXPECT_EQ(appended.rfind("\n\n2026-03-15 ", 0), 0u);
    EXPECT_EQ(appended.find('\r'), std::string::npos);
}

TEST_F(ProgramWithStandIns, SetupFieldChangedInTheDialogComesBackFromTheMachine) {
    auto sd = plug("sd20");
    start(true);
    TFormMachine* w = openWindow(0);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->Item_SetupMachineParameter->isVisible());
    const auto before = sd->machine().setup;

    QString shownSpeed, shownMode;
    {
        ModalScript change([&](QWidget* modal) {
            auto* d = qobject_cast<TForm_change_setupValue*>(modal);
            if (!d || shownSpeed.size())
                return false;
            shownSpeed = d->edit(SETUP_READ_SPEED)->text();
            d->edit(SETUP_READ_SPEED)->setText("12.5");
            d->combo(SETUP_WORKING_MODE)->setCurrentIndex(4); // "Fastest Mode"
            EXPECT_TRUE(cleanLayout(d, "setup_dialog", "sd_machine"));
            clickLater(d->Button_OK);
            return true;
        });
        w->Item_SetupMachineParameter->trigger();
    }
    EXPECT_EQ(shownSpeed, "5.0");
    ASSERT_TRUE(spin([&] { return sd->machine().setupWrites == 1; }));
    auto expected = before;
    expected[158] = 0;
    expected[159] = 125;
    expected[220] = 4;
    EXPECT_EQ(sd->machine().setup, expected);

    // Read again, the machine reports what it was given.
    shownSpeed.clear();
    ModalScript look([&](QWidget* modal) {
        auto* d = qobject_cast<TForm_change_setupValue*>(modal);
        if (!d || shownSpeed.size())
            return false;
        shownSpeed = d->edit(SETUP_READ_SPEED)->text();
        shownMode = d->combo(SETUP_WORKING_MODE)->currentText();
        clickLater(d->Button_Abort);
        return true;
    });
    w->Item_SetupMachineParameter->trigger();
    EXPECT_EQ(shownSpeed, "12.5");
    EXPECT_EQ(shownMode, "Fastest Mode");
    EXPECT_EQ(sd->commands('W', 30).size(), 2u);
    EXPECT_EQ(sd->commands('W', 31).size(), 1u);
}

TEST_F(ProgramWithStandIns, TheClockDialogNamesItsMachineAndSaysWhenTheClockIsSet) {
    auto usb = plug("usb10");
    auto cf = plug("cf8");
    start(true);
    openWindow(0);
    TFormMachine* w = openWindow(1); // two windows: each dialog says which machine it is for
    ASSERT_NE(w, nullptr);
    StandInController& m = *(w->windowTitleText().find("CF") != std::string::npos ? cf : usb);
    const size_t clockWrites = m.commands('W', 12).size();
    std::string title;
    {
        ModalScript sync([&](QWidget* modal) {
            auto* d = qobject_cast<TForm_changeMachineClock*>(modal);
            if (!d || !title.empty())
                return false;
            title = d->windowTitle().toStdString();
            clickLater(d->Button_synchronize);
            return true;
        });
        w->Item_ChangeMachineClock->trigger();
    }
    EXPECT_EQ(title, "Change Machine Clock - " + std::string(m.profile().modelName) + " [" +
                         m.machine().machineId + "]");
    auto confirmed = [&] {
        for (const auto& msg : ui.messages)
            if (msg.text.rfind("The machine clock of ", 0) == 0)
                return true;
        return false;
    };
    ASSERT_TRUE(spin(confirmed));
    const TestUi::Message& done = ui.messages.back();
    EXPECT_EQ(done.caption, "Message");
    EXPECT_NE(done.text.find(m.machine().machineId), std::string::npos);
    EXPECT_NE(done.text.find("was set to the PC's time"), std::string::npos);
    EXPECT_EQ(w->statusBar()->currentMessage().toStdString(), done.text);
    EXPECT_EQ(m.commands('W', 12).size(), clockWrites + 1);
    // Said once: the next identification's clock setting is not confirmed again.
    EXPECT_EQ(std::count_if(ui.messages.begin(), ui.messages.end(),
                            [](const TestUi::Message& msg) {
                                return msg.text.rfind("The machine clock of ", 0) == 0;
                            }),
              1);
}

TEST_F(ProgramWithStandIns, EveryVisibleMenuItemActsOrSaysWhy) {
    auto usb = plug("usb10");
    auto sd = plug("sd20");
    // Without a master stick a job command is answered but no job starts, so
    // every item is tried on a machine in standby.
    usb->machine().removeMedium(0);
    // The program's windows as --demo has them, the download window included.
    SimulatedDrives drives(dir / "SimulatedDrives");
    for (const auto& m : machines)
        drives.addMachine(m);
    start(true, &drives);

    // Whatever opens is recorded and closed.
    std::vector<std::string> opened;
    ModalScript closer([&](QWidget* modal) {
        opened.push_back(modal->windowTitle().toStdString());
        if (auto* d = qobject_cast<QDialog*>(modal))
            QTimer::singleShot(0, d, [d] { d->reject(); });
        return true;
    });
    auto significant = [](const StandInController& m) {
        size_t n = 0;
        for (const HostFrame& f : m.hostFrames())
            n += f.kind == HostFrame::Command && f.letter == 'W' && (f.sub() < 20 || f.sub() > 23);
        return n;
    };

    int walked = 0;
    for (int k = 0; k < 2; ++k) {
        TFormMachine* w = openWindow(k);
        ASSERT_NE(w, nullptr) << k;
        StandInController& m = *(w->windowTitleText().find("SD") != std::string::npos ? sd : usb);
        std::vector<QAction*> items;
        std::function<void(QMenu*)> collect = [&](QMenu* menu) {
            for (QAction* a : menu->actions()) {
                if (!a->isVisible() || a->isSeparator())
                    continue;
                if (a->menu())
                    collect(a->menu());
                else
                    items.push_back(a);
            }
        };
        for (QAction* top : w->menuBar()->actions()) {
            if (!top->isVisible())
                continue;
            if (top->menu())
                collect(top->menu());
            else
                items.push_back(top);
        }
        ASSERT_FALSE(items.empty());
        for (QAction* a : items) {
            const std::string name = a->text().toStdString() + " on " + w->windowTitleText();
            ASSERT_TRUE(spin([&] { return w->IsStandby(); })) << name;
            EXPECT_TRUE(a->isEnabled()) << name;
            const size_t messages = ui.messages.size();
            const size_t windows = opened.size();
            const size_t frames = significant(m);
            std::set<QWidget*> shown;
            for (QWidget* t : QApplication::topLevelWidgets())
                if (t->isVisible())
                    shown.insert(t);
            auto newWindow = [&] {
                for (QWidget* t : QApplication::topLevelWidgets())
                    if (t->isVisible() && !shown.count(t) && t != w)
                        return t;
                return static_cast<QWidget*>(nullptr);
            };
            a->trigger();
            const bool acted = spin(
                [&] {
                    return ui.messages.size() > messages || opened.size() > windows ||
                           significant(m) > frames || newWindow();
                },
                5000);
            EXPECT_TRUE(acted) << name << " did nothing";
            // Whatever it opened names the machine it is for.
            if (opened.size() > windows) {
                EXPECT_NE(opened.back().find(m.machine().machineId), std::string::npos)
                    << name << ": " << opened.back();
            }
            if (QWidget* t = newWindow()) {
                EXPECT_NE(t->windowTitle().toStdString().find(m.machine().machineId),
                          std::string::npos)
                    << name << ": " << t->windowTitle().toStdString();
                t->close();
            }
            ++walked;
        }
    }
    // usb10: Change Nickname, the two service items, OpenLogWindow, the three
    // figure windows, Download Source Files and five jobs; sd20: the same
    // Machine and LogData items, and Get Info.
    EXPECT_EQ(walked, 13 + 8);
}
