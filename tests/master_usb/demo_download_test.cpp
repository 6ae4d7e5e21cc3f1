// The program as --demo builds it: the main window over the demo's stand-in
// machines, the simulated drives of their master sticks, and the download
// window opened from a machine window. From Go to the job start on the wire.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <sstream>

#include "app/demo.h"
#include "machine_window/tform_machine.h"
#include "master_usb/tform_download_source.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "shell/shell_test_files.h"
#include "sim/simulated_drives.h"
#include "support/test_ui.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::writeFile;
namespace fs = std::filesystem;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

// The program's clock, with waits of the download flow forty times shorter:
// its ten-second settle and five-second eject pause cost a fraction of a
// second here.
class QuickWaitClock final : public Clock {
public:
    uint32_t tickMs() const override { return SystemClock::instance().tickMs() * 40; }
    LocalTime localTime() const override { return SystemClock::instance().localTime(); }
};

template <class F> bool spin(F done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace

TEST(DemoDownload, FromGoToTheStartedJob) {
    static int argc = 1;
    static char name[] = "demo_download_test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance())
        new QApplication(argc, argv);
    shelltest::TempDir tmp;
    const Clock& clock = SystemClock::instance();
    TestUi ui;
    ui.onProcessEvents = [] {
        QEventLoop loop;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    };

    DemoMachines demo(clock);
    std::ostringstream trace;
    demo.bus().setTrace(&trace);
    SimulatedDrives drives(tmp / "SimulatedDrives");
    for (const auto& m : demo.machines())
        drives.addMachine(m);
    QuickWaitClock quick;
    COMMAND_MACHINE::setGlobalRefreshMark();
    TForm1 form(demo.bus(), &demo.bus(), clock, ui, tmp.path, tmp / "no-program");
    form.installDownloadWindow(drives, ui, quick);
    form.show();

    auto standIn = demo.machines().front(); // the USB machine
    ASSERT_EQ(standIn->profile().name, "usb10");
    const std::string id = standIn->machine().machineId;
    int picture = -1;
    ASSERT_TRUE(spin(
        [&] {
            for (int k = 0; k < form.picturesPlaced(); ++k)
                if (form.picture(k).isOn() &&
                    form.machineSlots().connection(form.picture(k).connection()).info().machineId ==
                        id)
                    picture = k;
            return picture >= 0;
        },
        15000));
    form.machineSlots().pictureClick(picture);
    MACHINE& m = form.machineSlots().connection(form.picture(picture).connection());
    auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
    ASSERT_NE(adapter, nullptr);
    TFormMachine* w = adapter->window();
    ASSERT_TRUE(spin([&] { return w->IsStandby(); }, 5000));

    fs::create_directories(tmp / "source/docs");
    writeFile(tmp / "source/docs/manual.txt", std::vector<uint8_t>(4096, 'm'));
    writeFile(tmp / "source/image.bin", std::vector<uint8_t>(700000, 0x5A));

    TForm_DownloadSource* download = form.downloadWindow();
    ASSERT_NE(download, nullptr);
    bool pressed = false;
    QTimer::singleShot(50, download, [&] {
        download->selectTargetDirectory(QString::fromStdString(tmp / "source"));
        download->ComboBox_job->setCurrentIndex(1); // Copy
        download->ComboBox_sourceFormat->setCurrentIndex(0);
        download->Edit_volumeLabel->setText("DEMO");
        pressed = true;
        download->Button_Run_downloadSource->click();
    });
    // Action > Download Source Files: the window runs modally until the flow closes it.
    w->Item_DownloadSourceFiles->trigger();
    ASSERT_TRUE(pressed);
    EXPECT_EQ(download->flow().result(), 0)
        << download->Memo_DownloadSource->toPlainText().toStdString();
    EXPECT_TRUE(download->Memo_DownloadSource->toPlainText().endsWith("Finish !"));

    // The stick holds the source, the machine has it back and runs the copy.
    const std::string volume =
        drives.volumeFolder(SimulatedDrives::masterDriveName(*standIn)).string();
    EXPECT_EQ(readFile(volume + "/image.bin"), std::vector<uint8_t>(700000, 0x5A));
    EXPECT_EQ(readFile(volume + "/docs/manual.txt"), std::vector<uint8_t>(4096, 'm'));
    ASSERT_TRUE(spin([&] { return !standIn->commands('W', 42).empty(); }, 5000));
    EXPECT_FALSE(standIn->machine().masterAtPc);
    // On the wire, in order: take (X 26, 27, 25), return (X 28), then W 42.
    std::vector<int> order;
    for (const HostFrame& f : standIn->hostFrames())
        if (f.kind == HostFrame::Command &&
            ((f.letter == 'X' && f.sub() >= 25) || (f.letter == 'W' && f.sub() == 42)))
            order.push_back(f.letter == 'X' ? f.sub() : 42);
    EXPECT_EQ(order, (std::vector<int>{26, 27, 25, 28, 42}));
    EXPECT_NE(trace.str().find(" H "), std::string::npos);
    // The drive operations went to the machine's debug file.
    ASSERT_TRUE(m.debugFileOpen());
    const auto debug = readFile(m.debugFilePath().string());
    const std::string text(debug.begin(), debug.end());
    EXPECT_NE(text.find("simulated drives: format"), std::string::npos);
    EXPECT_NE(text.find("Download: "), std::string::npos);
    form.close();
}

TEST(DemoDownload, ClosingTheProgramDuringAFormatEndsTheDownloadAtOnce) {
    static int argc = 1;
    static char name[] = "demo_download_test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance())
        new QApplication(argc, argv);
    shelltest::TempDir tmp;
    const Clock& clock = SystemClock::instance();
    TestUi ui;
    ui.onProcessEvents = [] {
        QEventLoop loop;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    };
    DemoMachines demo(clock);
    SimulatedDrives drives(tmp / "SimulatedDrives");
    for (const auto& m : demo.machines())
        drives.addMachine(m);
    // A format of an hour: an exit that waited for it would never come.
    drives.formatMs = 3600000;
    QuickWaitClock quick;
    COMMAND_MACHINE::setGlobalRefreshMark();
    auto form =
        std::make_unique<TForm1>(demo.bus(), &demo.bus(), clock, ui, tmp.path, tmp / "no-program");
    form->installDownloadWindow(drives, ui, quick);
    form->show();
    auto standIn = demo.machines().front();
    const std::string id = standIn->machine().machineId;
    int picture = -1;
    ASSERT_TRUE(spin(
        [&] {
            for (int k = 0; k < form->picturesPlaced(); ++k)
                if (form->picture(k).isOn() && form->machineSlots()
                                                       .connection(form->picture(k).connection())
                                                       .info()
                                                       .machineId == id)
                    picture = k;
            return picture >= 0;
        },
        15000));
    form->machineSlots().pictureClick(picture);
    MACHINE& m = form->machineSlots().connection(form->picture(picture).connection());
    TFormMachine* w = dynamic_cast<MachineWindowAdapter*>(m.window())->window();
    ASSERT_TRUE(spin([&] { return w->IsStandby(); }, 5000));
    writeFile(tmp / "source/image.bin", std::vector<uint8_t>(1000, 1));

    TForm_DownloadSource* download = form->downloadWindow();
    bool closedDuringFormat = false;
    QTimer formatWatch;
    QObject::connect(&formatWatch, &QTimer::timeout, [&] {
        if (closedDuringFormat || !drives.formatting())
            return;
        closedDuringFormat = true;
        form->close(); // the main window's close box, as SIGTERM does it too
    });
    formatWatch.start(5);
    QTimer::singleShot(50, download, [&] {
        download->selectTargetDirectory(QString::fromStdString(tmp / "source"));
        download->ComboBox_job->setCurrentIndex(1);
        download->Button_Run_downloadSource->click();
    });
    w->Item_DownloadSourceFiles->trigger(); // returns once the window has gone

    EXPECT_TRUE(closedDuringFormat);
    EXPECT_FALSE(download->flow().running());
    EXPECT_FALSE(download->isVisible());
    EXPECT_FALSE(form->isVisible());
    // Said in the machine's debug file: the stick is still at the PC, half made.
    const auto debug = readFile(m.debugFilePath().string());
    EXPECT_NE(std::string(debug.begin(), debug.end())
                  .find("The program ended during Download "
                        "Source Files: the master stick"),
              std::string::npos);
    form.reset(); // the flow's worker is told to stop the format and is joined
    EXPECT_FALSE(drives.formatting());
}
