#pragma once
// DownloadFlow, the work behind the download window: refilling a machine's
// master stick from a source folder; and DownloadView, what it shows through.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/ui_services.h"
#include "master_usb/do_dir.h"
#include "master_usb/download_texts.h"
#include "master_usb/drive_service.h"
#include "master_usb/drive_worker.h"
#include "master_usb/source_check.h"

namespace dupmon {

class MachineRequests;

// What the flow shows: the download window's memo and controls, and the
// progress window. The Qt windows implement it; tests record it.
class DownloadView {
public:
    virtual ~DownloadView() = default;
    virtual void clearMemo() = 0;
    virtual void addMemoLine(const std::string& line) = 0;
    virtual void setControlsEnabled(bool on) = 0;
    // The progress window: stop its timer; place it below the download
    // window, prepare it, show it and start its timer; close it.
    virtual void stopProgressTimer() = 0;
    virtual void showProgress() = 0;
    virtual void closeProgress() = 0;
    virtual void closeWindow() = 0;
    // What the flow waits for now ("formatting...", "closing when the format
    // ends"), or nothing.
    virtual void showWaiting(const std::string& text) { (void)text; }
};

// The download flow behind TForm_DownloadSource: checks the source folder,
// takes the master stick from the duplicator, finds it among the PC's drives
// by the identification value in its first sector, checks that the source
// fits, asks the operator (naming the stick) before it erases anything,
// partitions and formats it, copies the source tree onto it with the walker,
// ejects it, hands it back and starts the chosen job. It is stepped in a loop
// that lets the program process its events on every pass; waits are measured
// on the injected clock. Every drive operation runs on the drive worker and
// every copy on the walker, so a pass never waits.
//
// The window may be closed while the flow runs: the flow then ends in the
// background (what cannot be stopped safely, a partition or a format, is
// let finish), hands the master back and says what state it left the stick
// in. When the program ends, the flow gives up at once.
class DownloadFlow {
public:
    // Result codes.
    enum Result : int {
        R_NONE = 0,
        R_DRIVE_NOT_FOUND = 1,
        R_NO_DRIVE_LEFT = 2,
        R_DRIVE_NOT_MATCH = 3,
        R_ID_NOT_MATCH = 6,
        R_CANNOT_READ = 7,
        R_COPY_FAILED = 8,
        R_FORMAT_TYPE = 10,
        R_VOLUME_MISSING = 11,
        R_VOLUME_NOT_EMPTY = 12,
        R_WRONG_FILE_SYSTEM = 13,
        R_FILE_4GB = 18,
        R_SIZE_TOO_SMALL = 19,
        R_PARAMETER = 20,
        R_DIRECTORY_NOT_FOUND = 21,
        R_PARTITION_FAILED = 22,
        R_USER_ABORT = 23,
        R_SOURCE_UNREADABLE = 24, // a folder or file of the source cannot be read
        R_SOURCE_EMPTY = 25,      // the source holds no file
        R_CANCELLED = 26,         // the operator would not have the stick erased
        R_CLOSED = 27,            // the window was closed while the flow ran
    };
    // State numbers of the find-and-format part and of the copy part.
    enum State : int {
        S_IDLE = 0,
        S_CAN_FORMAT = 60, // the drive service is asked whether it can make the format
        S_SCAN_BEFORE = 62,
        S_TAKE = 63,
        S_PASSES = 64, // 64 to 67: four passes
        S_SETTLE_START = 68,
        S_SETTLE_WAIT = 69,
        S_SETTLE_PASSES = 70,
        S_DRIVE_SEARCH = 71,
        S_DRIVE_SEARCH_WAIT = 76,
        S_READ_ID = 73, // the first sector is being read
        S_AFTER_MATCH = 72,
        S_ASK = 77,       // the source must fit; the operator says whether to erase the stick
        S_PARTITION = 74, // the partition sequence, returning to 79
        S_PARTITION_PASSES = 75,
        S_CHOOSE_FORMAT = 78,
        S_RUN_FORMAT = 79,
        S_CHECK_FORMAT = 80,
        S_FORMAT_DONE = 81,
        S_COUNT_SOURCE = 128,
        S_SOURCE_CHECKED = 134,
        S_WAIT_COUNT = 129,
        S_CHECK_SIZES = 130,
        S_MOUNT_FOR_COPY = 133,
        S_COPY_RUNNING = 131,
        S_COPY_ENDED = 132,
        S_RESCAN = 144,
        S_RESCAN_PASSES = 146,
        S_END_PASSES = 145,
        S_EJECT = 148,
        S_EJECT_WAIT = 149,
        S_RELEASE = 150,
        S_FINISH = 151,
        S_FORMAT_FAILED = 160,
        S_END_UNTOUCHED = 170, // ended before the master was taken
        S_DONE = 255,
    };
    static constexpr uint32_t kBufferSize = 131072;
    static constexpr uint32_t kPeriodMs = 2000;

    DownloadFlow(DriveService& drives, UiServices& ui, const Clock& clock,
                 std::filesystem::path startupDirectory);
    ~DownloadFlow();
    DownloadFlow(const DownloadFlow&) = delete;
    DownloadFlow& operator=(const DownloadFlow&) = delete;

    // Window creation: walker buffers, the walker, the fixed-disk snapshot
    // and the saved parameters. False (with a message shown) when the walker
    // cannot be made.
    bool create();
    void setView(DownloadView* view) { view_ = view; }
    // What the flow asks of the machine (through its engine), and where its debug lines go.
    void setMachine(MachineRequests* machine, std::function<void(const std::string&)> debugLog);
    // Drive operations run at once instead of on the drive worker.
    void setJobsInline(bool on) { worker_.setInline(on); }
    // Called on the drive worker when an operation ends: wakes the loop.
    void setWake(std::function<void()> wake) { worker_.setWake(std::move(wake)); }

    // What the window's controls hold; the window writes them before Go.
    DownloadParameters& parameters() { return params_; }
    const std::filesystem::path& parameterFilePath() const { return parameterFile_; }

    // "Go": the whole flow; returns when it has ended.
    void go();
    // The window was closed: end in the background, leaving the stick in a
    // state the flow then names.
    void requestClose() { closing_ = true; }
    bool closing() const { return closing_; }
    // The program is ending: give up at once.
    void requestExit() { exiting_ = true; }
    // What the flow waits for now, as the window shows it.
    std::string waitingText() const;

    // --- read by the progress window ---
    uint64_t totalBytes() const { return totalBytes_; }
    uint64_t copiedBytes() const { return copiedBytes_; }
    bool copyFailed() const { return copyFailed_; }
    // STOP: the flow hands the request to the walker on its next pass.
    void requestAbort() { abort_ = true; }
    bool abortRequested() const { return abort_; }

    // --- state, for the windows and tests ---
    bool running() const { return running_; }
    int state() const { return state_; }
    int result() const { return result_; }
    int jobCode() const { return jobCode_; }
    const uint8_t* identification() const { return identity_; }
    const DriveRow& matchedDrive() const { return matched_; }
    const std::string& volumeRoot() const { return volumeRoot_; }
    const std::string& labelSwitchText() const { return labelSwitch_; }
    uint64_t partitionSize() const { return partitionMiB_; }
    uint32_t totalFiles() const { return totalFiles_; }
    uint32_t copiedFiles() const { return copiedFiles_; }
    uint32_t copiedDirectories() const { return copiedDirs_; }
    DO_DIR& walker() { return *walker_; }
    DriveService& drives() { return drives_; }

private:
    void step();
    // The copy part's states (128 to 151).
    void stepCopy();
    void handleClose();
    void memo(const std::string& text, bool withTime = true);
    void fail(int result, const char* memoText);
    void failFromJob(int result, const char* stepName);
    void endUntouched();
    // Unmounts what the flow mounted; false when nothing was.
    bool startRelease();
    bool endCopyPartWhenClosing();
    bool endCopyPartOnSourceProblem();
    bool periodElapsed();
    bool passesDone(int count);
    void startJob(DriveWorker::Work work);
    bool jobRunning() const { return worker_.running(); }
    void flushServiceLog();
    // On the drive worker: the matched drive in a new scan.
    bool findMatched(DriveRow& row, std::string& cause);
    // On the drive worker: the source folder is there and is a folder.
    bool checkSource(std::string& cause);
    // After checkSource's job: its result on the memo.
    void reportSource();
    // After the source tree's check: false (with the memo lines) when the
    // source cannot be copied onto a master as it is.
    bool sourceUsable();
    // The operator's go-ahead to erase the matched stick.
    bool askToErase();
    std::string stickText() const;
    std::string machineText() const;
    void reportStickLeft();
    void writeCopyErrorFile();
    void enterFormatFailure();
    void enterCopyPartEnd();
    void stepFormatCheck();
    void returnMaster();
    void abandon();

    DriveService& drives_;
    UiServices& ui_;
    const Clock& clock_;
    std::filesystem::path startupDir_;
    std::filesystem::path parameterFile_;
    DownloadView* view_ = nullptr;
    MachineRequests* machine_ = nullptr;
    std::function<void(const std::string&)> debugLog_;

    std::unique_ptr<uint8_t[]> copyBuffer_;
    std::unique_ptr<uint8_t[]> secondBuffer_;

    DownloadParameters params_;
    bool running_ = false;
    int state_ = S_IDLE;
    int result_ = R_NONE;
    int jobCode_ = 0;
    int formatCode_ = 0;
    const SourceFormat* format_ = nullptr;
    std::string label_;
    std::string labelSwitch_;
    uint64_t partitionMiB_ = 0;
    uint8_t identity_[4] = {};

    std::vector<DriveRow> before_;
    DriveRow matched_;
    std::string volumeRoot_;
    bool mounted_ = false;
    bool ejected_ = false;

    int passes_ = 0;
    int periods_ = 0;
    uint32_t periodStart_ = 0;
    int tries_ = 0;
    int formatRetries_ = 0;
    int checkStep_ = 0; // where a state with several steps of its own stands
    bool formatEnded_ = false;
    uint32_t waitStart_ = 0;
    std::string volumeLabel_;
    std::string volumeFileSystem_;
    uint8_t sector_[512] = {};

    uint32_t totalFiles_ = 0;
    uint32_t totalDirs_ = 0;
    uint64_t totalBytes_ = 0;
    uint32_t files4G_ = 0;
    uint32_t copiedDirs_ = 0;
    uint32_t copiedFiles_ = 0;
    uint64_t copiedBytes_ = 0;
    bool abort_ = false;
    bool copyFailed_ = false;

    bool closing_ = false;
    bool closeHandled_ = false;
    bool exiting_ = false;
    bool stickTouched_ = false; // a partition or a format was started on it
    bool copyStarted_ = false;
    std::string lastWaiting_;

    // Written by the drive worker's operations, read once they have ended.
    std::vector<DriveRow> scanRows_;
    DriveRow found_;
    int sourceResult_ = R_NONE;
    SourceProblem sourceProblem_ = SourceProblem::None;
    SourceSummary source_;
    std::string sourceDetail_;

    // Whatever runs on another thread is destroyed first: the walker (it
    // uses the copy buffer) and the drive worker (its operations write the
    // members above).
    std::unique_ptr<DO_DIR> walker_;
    DriveWorker worker_{drives_};
};

} // namespace dupmon
