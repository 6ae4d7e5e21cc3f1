// The download and progress windows on Qt's offscreen platform: their
// controls and layout, Go from the button, and the progress gauge.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <fcntl.h>
#include <unistd.h>

#include "master_usb/tform2.h"
#include "master_usb/tform_download_source.h"
#include "shell/shell_test_files.h"
#include "sim/simulated_drives.h"
#include "sim/stand_in.h"
#include "support/engine_harness.h"
#include "support/layout_check.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::writeFile;
namespace fs = std::filesystem;

// fontconfig keeps its cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

class DownloadWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "download_window_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }
    void SetUp() override {
        standIn = StandInController::create("usb10", h.clock);
        h.plug(standIn);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
        h.run(500);
        drives.addMachine(standIn);
        h.ui.onProcessEvents = [this] {
            h.run(1);
            QApplication::processEvents();
        };
        fs::create_directories(tmp / "work");
    }
    shelltest::TempDir tmp;
    EngineHarness h;
    std::shared_ptr<StandInController> standIn;
    SimulatedDrives drives{tmp / "drives"};
};

bool sparseFile(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool ok = fd >= 0 && ::ftruncate(fd, off_t(size)) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

TEST_F(DownloadWindowTest, ControlsListsAndLayout) {
    TForm2 progress;
    TForm_DownloadSource w(drives, h.ui, h.clock, tmp / "work", &progress);
    EXPECT_EQ(w.windowTitle(), "Download Source Files");
    ASSERT_EQ(w.ComboBox_job->count(), 5);
    EXPECT_EQ(w.ComboBox_job->itemText(4), "Copy+Compare+SetWriteProtect");
    ASSERT_EQ(w.ComboBox_sourceFormat->count(), 5);
    EXPECT_EQ(w.ComboBox_sourceFormat->itemText(0), "FORMAT AUTO");
    EXPECT_EQ(w.ComboBox_sourceFormat->itemText(3), "FORMAT EXFAT");
    EXPECT_EQ(w.ComboBox_job->currentIndex(), 0);
    EXPECT_TRUE(w.Edit_targetDirectory->isReadOnly());
    EXPECT_TRUE(w.Memo_DownloadSource->isReadOnly());
    EXPECT_EQ(w.Button_Run_downloadSource->text(), "Go");
    w.selectTargetDirectory(QString::fromStdString(tmp / ""));
    EXPECT_EQ(w.Edit_targetDirectory->text().toStdString(), tmp.path);
    EXPECT_TRUE(cleanLayout(&w, "download_source", "fresh"));

    EXPECT_EQ(progress.size(), QSize(621, 115));
    EXPECT_EQ(progress.DLPrpgress->size(), QSize(585, 49));
    EXPECT_EQ(progress.Button1->text(), "STOP");
    EXPECT_TRUE(progress.Timer1.isActive()); // runs from creation
    progress.prepare();
    EXPECT_TRUE(cleanLayout(&progress, "download_source", "progress"));
    EXPECT_FALSE(progress.Label1->isVisible());
}

TEST_F(DownloadWindowTest, GoRefillsTheMasterAndShowsTheMemo) {
    TForm2 progress;
    TForm_DownloadSource w(drives, h.ui, h.clock, tmp / "work", &progress);
    w.flow().setJobsInline(true);
    std::vector<std::string> debug;
    w.setMachine(&h.requests, [&](const std::string& l) { debug.push_back(l); });
    fs::create_directories(tmp / "src/sub");
    writeFile(tmp / "src/sub/a.bin", std::vector<uint8_t>(200000, 7));
    w.selectTargetDirectory(QString::fromStdString(tmp / "src"));
    w.ComboBox_job->setCurrentIndex(2);
    w.ComboBox_sourceFormat->setCurrentIndex(3);
    w.Edit_volumeLabel->setText("Master");
    w.show();
    bool lockedDuringFlow = false;
    bool progressSeen = false;
    auto previous = h.ui.onProcessEvents;
    h.ui.onProcessEvents = [&] {
        previous();
        lockedDuringFlow |= !w.Button_Run_downloadSource->isEnabled();
        progressSeen |= progress.isVisible();
    };
    w.Button_Run_downloadSource->click();
    h.run(2000);

    EXPECT_TRUE(lockedDuringFlow);
    EXPECT_TRUE(progressSeen);
    EXPECT_FALSE(progress.isVisible());
    EXPECT_TRUE(w.Button_Run_downloadSource->isEnabled());
    const QStringList lines = w.Memo_DownloadSource->toPlainText().split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines.front().endsWith("Checking the source folder ..."));
    EXPECT_TRUE(lines[1].endsWith("Checking Master USB ..."));
    EXPECT_TRUE(lines.contains(lines.filter("Start FORMAT EXFAT").value(0)));
    EXPECT_TRUE(lines.back().endsWith("Finish !"));
    const std::string volume =
        drives.volumeFolder(SimulatedDrives::masterDriveName(*standIn)).string();
    EXPECT_EQ(readFile(volume + "/sub/a.bin"), std::vector<uint8_t>(200000, 7));
    EXPECT_EQ(standIn->commands('W', 44).size(), 1u); // Copy+Compare
    EXPECT_EQ(drives.calls().at(2),
              "format " + SimulatedDrives::masterDriveName(*standIn) + " EXFAT 'Master'");
    // A copy that ended exactly at the total shows 100% and closes the gauge.
    EXPECT_EQ(w.flow().totalBytes(), 200000u);
    progress.DLPrpgress->setValue(0);
    progress.show();
    progress.Timer1Timer();
    EXPECT_EQ(progress.DLPrpgress->value(), 100);
    EXPECT_FALSE(progress.isVisible());
    // The choices are kept for the next start.
    TForm_DownloadSource again(drives, h.ui, h.clock, tmp / "work", nullptr);
    EXPECT_EQ(again.ComboBox_job->currentIndex(), 2);
    EXPECT_EQ(again.ComboBox_sourceFormat->currentIndex(), 3);
    EXPECT_EQ(again.Edit_volumeLabel->text(), "Master");
    EXPECT_EQ(again.Edit_targetDirectory->text().toStdString(), tmp / "src");
    EXPECT_TRUE(cleanLayout(&w, "download_source", "after-go"));
}

TEST_F(DownloadWindowTest, ProgressGaugeFollowsTheCopyAndStopAborts) {
    // A flow that has counted 0 bytes: the timer leaves the gauge alone.
    DownloadFlow flow(drives, h.ui, h.clock, tmp / "work");
    ASSERT_TRUE(flow.create());
    TForm2 progress;
    progress.setFlow(&flow);
    progress.DLPrpgress->setValue(17);
    progress.show();
    progress.Timer1Timer();
    EXPECT_EQ(progress.DLPrpgress->value(), 17);
    EXPECT_TRUE(progress.isVisible());

    // STOP: the timer stops, the flow gets the request, the window closes.
    progress.Button1->click();
    EXPECT_FALSE(progress.Timer1.isActive());
    EXPECT_FALSE(progress.isVisible());
    EXPECT_TRUE(flow.abortRequested()); // handed to the walker on the flow's next pass
}

TEST_F(DownloadWindowTest, ClosingDuringAFormatReturnsAtOnceAndTheStickIsNamed) {
    TForm2 progress;
    TForm_DownloadSource w(drives, h.ui, h.clock, tmp / "work", &progress);
    w.setMachine(&h.requests, [](const std::string&) {});
    fs::create_directories(tmp / "src");
    writeFile(tmp / "src/a.bin", std::vector<uint8_t>(1000, 1));
    w.selectTargetDirectory(QString::fromStdString(tmp / "src"));
    w.ComboBox_job->setCurrentIndex(1);
    // A format that takes an hour unless the test ends it: a close that
    // waited for it would never return.
    drives.formatMs = 3600000;
    w.show();
    enum { Formatting, Closed, Done } phase = Formatting;
    QString whileFormatting, afterClose;
    bool hiddenAtOnce = false, formatGoesOn = false;
    auto previous = h.ui.onProcessEvents;
    h.ui.onProcessEvents = [&] {
        previous();
        if (phase == Formatting && drives.formatting()) {
            whileFormatting = w.Label_waiting->text();
            w.close(); // the close box
            hiddenAtOnce = !w.isVisible();
            formatGoesOn = drives.formatting() && w.flow().running();
            phase = Closed;
        } else if (phase == Closed) {
            afterClose = w.Label_waiting->text();
            drives.finishFormatsNow(); // the tool ends on its own
            phase = Done;
        }
    };
    w.Button_Run_downloadSource->click();
    h.run(2000);

    EXPECT_EQ(phase, Done);
    EXPECT_EQ(whileFormatting, "formatting...");
    EXPECT_TRUE(hiddenAtOnce);
    EXPECT_TRUE(formatGoesOn);
    EXPECT_EQ(afterClose, "closing when the format ends");
    EXPECT_FALSE(w.flow().running());
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.flow().result(), DownloadFlow::R_CLOSED);
    // The format ended, nothing was copied, and the operator is told which
    // stick holds nothing now.
    const std::string name = SimulatedDrives::masterDriveName(*standIn);
    EXPECT_EQ(drives.calls().back(), "format " + name + " FAT32 ''");
    ASSERT_EQ(h.ui.messages.size(), 1u);
    EXPECT_EQ(h.ui.messages[0].caption, "Warning");
    EXPECT_NE(h.ui.messages[0].text.find("The master stick \"MASTER\" (7450 MiB, "
                                         "DUPMON Simulated Stick) of machine"),
              std::string::npos)
        << h.ui.messages[0].text;
    EXPECT_NE(h.ui.messages[0].text.find("holds none of the source files"), std::string::npos);
    // The master went back; no job was started for an operator who left.
    EXPECT_FALSE(standIn->machine().masterAtPc);
    EXPECT_EQ(standIn->commands('X', 28).size(), 1u);
    EXPECT_EQ(standIn->commands('W', 81).size(), 1u);
    EXPECT_TRUE(standIn->commands('W', 42).empty());
}

TEST_F(DownloadWindowTest, EveryCheckThatFailsLeavesTheMasterStickUntouched) {
    const std::string src = tmp / "src";
    const std::string name = SimulatedDrives::masterDriveName(*standIn);
    struct Case {
        const char* name;
        std::function<std::string()> source; // makes the source, gives the path to choose
        int format;
        bool answer;
        int result;
        std::vector<std::string> memo; // after "Checking the source folder ..."
        bool taken;                    // the master went to the PC and back
    } cases[] = {
        {"no folder chosen",
         [] { return std::string(); },
         0,
         true,
         DownloadFlow::R_DIRECTORY_NOT_FOUND,
         {"DIRECTORY NOT FOUND",
          "No source folder is chosen: choose one with Select Target Directory."},
         false},
        {"folder missing",
         [&] { return src + "/gone"; },
         0,
         true,
         DownloadFlow::R_DIRECTORY_NOT_FOUND,
         {"DIRECTORY NOT FOUND", "cannot find " + src + "/gone: No such file or directory"},
         false},
        {"a file, not a folder",
         [&] {
             fs::create_directories(src);
             writeFile(src + "/file", {1, 2, 3});
             return src + "/file";
         },
         0,
         true,
         DownloadFlow::R_PARAMETER,
         {"PARAMETER ERROR", src + "/file is not a folder."},
         false},
        {"empty folder",
         [&] {
             fs::create_directories(src + "/only/folders");
             return src;
         },
         0,
         true,
         DownloadFlow::R_SOURCE_EMPTY,
         {"SOURCE DIRECTORY EMPTY", src + " holds no files: the master stick would be left empty."},
         false},
        {"a 4 GiB file for FAT32",
         [&] {
             fs::create_directories(src);
             EXPECT_TRUE(sparseFile(src + "/big.img", 4294967296ull));
             return src;
         },
         2,
         true,
         DownloadFlow::R_FILE_4GB,
         {"FILE 4GB SIZE", src + "/big.img is 4 GiB or more, more than a FAT32 volume can hold "
                                 "a file: choose FORMAT EXFAT or FORMAT NTFS."},
         false},
        {"more than the stick holds",
         [&] {
             fs::create_directories(src);
             EXPECT_TRUE(sparseFile(src + "/big.img", 8000ull * 1048576));
             return src;
         },
         3,
         true,
         DownloadFlow::R_SIZE_TOO_SMALL,
         {"Checking Master USB ...", "USB SIZE TOO SMALL",
          "The source needs 8050 MiB; the master stick \"MASTER\" (7450 MiB, DUPMON Simulated "
          "Stick) gives it 7440 MiB."},
         true},
        {"the operator says No",
         [&] {
             fs::create_directories(src);
             writeFile(src + "/a.bin", std::vector<uint8_t>(100, 1));
             return src;
         },
         0,
         false,
         DownloadFlow::R_CANCELLED,
         {"Checking Master USB ...", "Not erased: the master stick was not changed."},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(src);
        // What the master stick holds from its last refill.
        fs::remove_all(drives.volumeFolder(name));
        fs::create_directories(drives.volumeFolder(name) / "old");
        const std::vector<uint8_t> image(70000, 0x3C);
        writeFile((drives.volumeFolder(name) / "old/master.img").string(), image);
        const size_t callsBefore = drives.calls().size();
        standIn->clearHistory();
        h.ui.messages.clear();
        h.ui.questions.clear();
        h.ui.answerYes = c.answer;

        TForm2 progress;
        TForm_DownloadSource w(drives, h.ui, h.clock, tmp / "work", &progress);
        w.setMachine(&h.requests, [](const std::string&) {});
        w.selectTargetDirectory(QString::fromStdString(c.source()));
        w.ComboBox_job->setCurrentIndex(1);
        w.ComboBox_sourceFormat->setCurrentIndex(c.format);
        w.show();
        w.Button_Run_downloadSource->click();
        h.run(2000);

        EXPECT_EQ(w.flow().result(), c.result);
        // The window stays open with the step and its cause.
        EXPECT_TRUE(w.isVisible());
        EXPECT_TRUE(w.Button_Run_downloadSource->isEnabled());
        QStringList lines = w.Memo_DownloadSource->toPlainText().split('\n');
        std::vector<std::string> memo;
        for (const QString& l : lines) {
            const std::string t = l.toStdString();
            memo.push_back(t.size() > 9 && t[2] == ':' && t[5] == ':' ? t.substr(9) : t);
        }
        ASSERT_FALSE(memo.empty());
        EXPECT_EQ(memo.front(), "Checking the source folder ...");
        EXPECT_EQ(std::vector<std::string>(memo.begin() + 1, memo.end()), c.memo);
        // The stick: read to find it at most, never written.
        std::vector<std::string> calls = drives.calls();
        calls.erase(calls.begin(), calls.begin() + long(callsBefore));
        EXPECT_EQ(calls,
                  c.taken ? std::vector<std::string>{"read " + name} : std::vector<std::string>{});
        EXPECT_EQ(readFile((drives.volumeFolder(name) / "old/master.img").string()), image);
        // The machine: never asked for its master, or asked and given it back.
        EXPECT_EQ(standIn->commands('X', 25).size(), c.taken ? 1u : 0u);
        EXPECT_EQ(standIn->commands('X', 28).size(), c.taken ? 1u : 0u);
        EXPECT_FALSE(standIn->machine().masterAtPc);
        EXPECT_TRUE(standIn->commands('W', 42).empty());
        EXPECT_EQ(h.ui.questions.size(), c.result == DownloadFlow::R_CANCELLED ? 1u : 0u);
    }
}
