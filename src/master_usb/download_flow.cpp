#include "master_usb/download_flow.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <strings.h>

#include "common/file_io.h"
#include "common/text.h"
#include "protocol/command_machine.h"

namespace dupmon {

// ---------------------------------------------------------------------------
// ServiceJob

ServiceJob::~ServiceJob() {
    if (thread_.joinable())
        thread_.join();
}

void ServiceJob::start(std::function<bool(std::string&)> work, bool runInline) {
    if (thread_.joinable())
        thread_.join();
    cause_.clear();
    ok_ = false;
    if (runInline) {
        ok_ = work(cause_);
        done_.store(true, std::memory_order_release);
        return;
    }
    done_.store(false, std::memory_order_release);
    thread_ = std::thread([this, work = std::move(work)] {
        std::string cause;
        const bool ok = work(cause);
        cause_ = std::move(cause);
        ok_ = ok;
        done_.store(true, std::memory_order_release);
    });
}

bool ServiceJob::running() {
    if (!done_.load(std::memory_order_acquire))
        return true;
    if (thread_.joinable())
        thread_.join();
    return false;
}

// ---------------------------------------------------------------------------
// DownloadFlow

DownloadFlow::DownloadFlow(DriveService& drives, UiServices& ui, const Clock& clock,
                           std::filesystem::path startupDirectory)
    : drives_(drives), ui_(ui), clock_(clock), startupDir_(std::move(startupDirectory)),
      parameterFile_(startupDir_ / kDownloadParameterFile) {}

DownloadFlow::~DownloadFlow() {
    if (walker_)
        walker_->setStopRequest(true);
}

bool DownloadFlow::create() {
    // 4. The walker and its two buffers.
    copyBuffer_.reset(new (std::nothrow) uint8_t[kBufferSize]);
    secondBuffer_.reset(new (std::nothrow) uint8_t[kBufferSize]);
    if (!copyBuffer_ || !secondBuffer_) {
        ui_.messageBox("MEMORY NOT ENOUGH !", "ERROR");
        return false;
    }
    try {
        walker_ = std::make_unique<DO_DIR>();
        walker_->setBuffers(copyBuffer_.get(), secondBuffer_.get(), kBufferSize);
    } catch (const std::exception&) {
        walker_.reset();
        ui_.messageBox("COPY NOT INITIAL !", "ERROR");
        return false;
    }
    // 5. The disks that are fixed now are never offered.
    drives_.takeFixedDiskSnapshot();
    flushServiceLog();
    // 7. The parameters of the last run.
    // Five short lines: a larger file is not read further, and one that
    // cannot be read is as good as none.
    constexpr size_t kParameterFileLimit = 256 * 1024;
    if (const auto text = readSmallFile(parameterFile_, kParameterFileLimit))
        params_ = parseDownloadParameters(*text);
    return true;
}

void DownloadFlow::setEngine(COMMAND_MACHINE* engine,
                             std::function<void(const std::string&)> debugLog) {
    engine_ = engine;
    debugLog_ = std::move(debugLog);
}

void DownloadFlow::memo(const std::string& text, bool withTime) {
    std::string line = text;
    if (withTime) {
        const LocalTime t = clock_.localTime();
        line = format("%02d:%02d:%02d %s", t.hour, t.minute, t.second, text.c_str());
    }
    if (view_)
        view_->addMemoLine(line);
    if (debugLog_)
        debugLog_("Download: " + line);
}

void DownloadFlow::flushServiceLog() {
    for (auto& line : drives_.log().take())
        if (debugLog_)
            debugLog_(line);
}

void DownloadFlow::fail(int result, const char* memoText) {
    result_ = result;
    if (memoText)
        memo(memoText);
}

void DownloadFlow::failFromJob(int result, const char* stepName) {
    result_ = result;
    memo(format("%s FAILED: %s", stepName, job_.cause().c_str()));
}

bool DownloadFlow::periodElapsed() {
    const uint32_t now = clock_.tickMs();
    if (now - periodStart_ <= kPeriodMs)
        return false;
    periodStart_ = now;
    return true;
}

bool DownloadFlow::passesDone(int count) {
    return ++passes_ >= count;
}

void DownloadFlow::startJob(std::function<bool(std::string&)> work) {
    job_.start(std::move(work), jobsInline_);
}

bool DownloadFlow::jobRunning() {
    return job_.running();
}

bool DownloadFlow::findMatched(DriveRow& row) {
    for (const DriveRow& r : drives_.scan())
        if (r.valid && r.name == matched_.name) {
            row = r;
            return true;
        }
    return false;
}

bool DownloadFlow::checkSource() {
    std::error_code ec;
    const std::filesystem::path source(params_.sourceDirectory);
    if (params_.sourceDirectory.empty() || !std::filesystem::exists(source, ec)) {
        memo("DIRECTORY NOT FOUND", false);
        result_ = R_DIRECTORY_NOT_FOUND;
        return false;
    }
    if (!std::filesystem::is_directory(source, ec)) {
        memo("PARAMETER ERROR", false);
        result_ = R_PARAMETER;
        return false;
    }
    return true;
}

void DownloadFlow::writeCopyErrorFile() {
    writeWholeFile(startupDir_ / "COPY_ERR.TXT", walker_->failedSourceDirectory() + "\r\n" +
                                                     walker_->copyTargetRoot() + "\r\n" +
                                                     walker_->uncreatedDirectory() + "\r\n");
}

void DownloadFlow::go() {
    if (running_ || !walker_)
        return;
    // 1. Save the parameters; take the job; stop the progress timer; lock the controls.
    writeWholeFile(parameterFile_, formatDownloadParameters(params_));
    jobCode_ = std::clamp(params_.job, 0, kDownloadJobCount - 1);
    if (view_) {
        view_->stopProgressTimer();
        view_->setControlsEnabled(false);
        view_->clearMemo();
    }
    result_ = R_NONE;
    abort_ = copyFailed_ = false;
    totalFiles_ = totalDirs_ = files4G_ = copiedDirs_ = copiedFiles_ = 0;
    totalBytes_ = copiedBytes_ = 0;
    tries_ = formatRetries_ = 0;
    mounted_ = ejected_ = false;
    volumeRoot_.clear();
    matched_ = DriveRow{};
    partitionMiB_ = 0;
    labelSwitch_.clear();

    // A label the file system cannot take, or a format this PC cannot make,
    // is refused before the stick is touched.
    formatCode_ = params_.format;
    format_ = sourceFormat(formatCode_);
    label_ = params_.label;
    if (format_) {
        std::string message;
        if (!checkVolumeLabel(format_->fileSystem, label_, message) ||
            !drives_.canFormat(format_->fileSystem, message)) {
            flushServiceLog();
            ui_.messageBox(message, "Warning");
            if (view_)
                view_->setControlsEnabled(true);
            return;
        }
    }

    // 2. The drives before the hand-over.
    memo("Checking Master USB ...");
    before_ = drives_.scan();
    flushServiceLog();

    // 4. Ask the duplicator to hand its master over, marked with the time.
    const LocalTime t = clock_.localTime();
    const uint32_t seconds = uint32_t(daysFromCivil(t.year, t.month, t.day) * 86400 +
                                      t.hour * 3600 + t.minute * 60 + t.second);
    std::memcpy(identity_, &seconds, 4);
    int take = MASTER_COMMAND_FAILED;
    running_ = true;
    const bool accepted = engine_ && engine_->takeMasterUsbToPc(identity_, &take);
    running_ = false;
    const char* refusal = nullptr;
    if (!accepted)
        refusal = "Unable to access Master USB !";
    else if (take == MASTER_NOT_PRESENT)
        refusal = "Master USB doesn't exist !";
    else if (take == MASTER_REJECTED)
        refusal = "Bad Master USB !";
    else if (take != MASTER_TAKEN)
        refusal = "Master USB Fail !";
    if (refusal) {
        if (debugLog_)
            debugLog_(format("Download: take master refused (%s)", refusal));
        ui_.messageBox(refusal, "Warning");
        if (view_)
            view_->setControlsEnabled(true);
        return;
    }

    // 5 to 18, one step per pass.
    running_ = true;
    state_ = S_PASSES;
    passes_ = 0;
    while (state_ != S_DONE) {
        step();
        flushServiceLog();
        if (state_ == S_DONE)
            break;
        if (!ui_.processEvents()) {
            abandon();
            break;
        }
    }
    flushServiceLog();
    running_ = false;
}

void DownloadFlow::abandon() {
    // The program is closing: stop the walker, let the drive operation end,
    // and leave the machine alone.
    walker_->setStopRequest(true);
    while (!walker_->isIdle())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (jobRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state_ = S_DONE;
}

void DownloadFlow::enterFormatFailure() {
    state_ = S_FORMAT_FAILED;
    checkStep_ = 0;
}

void DownloadFlow::enterCopyPartEnd() {
    // A master that was not filled must not be copied onto the targets: the
    // flow ends with the release instead of the chosen job.
    jobCode_ = 0;
    state_ = S_RELEASE;
    checkStep_ = 0;
}

void DownloadFlow::step() {
    switch (state_) {
    // 5. Find the drive: passes, about ten seconds, a settle, then the search.
    case S_PASSES:
        if (passesDone(4))
            state_ = S_SETTLE_START;
        break;
    case S_SETTLE_START:
        periodStart_ = clock_.tickMs();
        periods_ = 0;
        state_ = S_SETTLE_WAIT;
        break;
    case S_SETTLE_WAIT:
        if (periodElapsed() && ++periods_ >= 5) {
            passes_ = 0;
            state_ = S_SETTLE_PASSES;
        }
        break;
    case S_SETTLE_PASSES:
        if (passesDone(100))
            state_ = S_DRIVE_SEARCH;
        break;
    case S_DRIVE_SEARCH: {
        std::vector<DriveRow> rows = drives_.scan();
        if (rows.size() < before_.size()) {
            fail(R_DRIVE_NOT_FOUND, "USB DRIVE NOT FOUND");
            enterFormatFailure();
            break;
        }
        std::vector<DriveRow> fresh;
        for (const DriveRow& r : rows) {
            const bool wasThere =
                std::any_of(before_.begin(), before_.end(),
                            [&](const DriveRow& b) { return b.valid && b.name == r.name; });
            if (!wasThere && r.valid)
                fresh.push_back(r);
        }
        if (fresh.size() > 1) {
            fail(R_DRIVE_NOT_MATCH, "TOO MANY USB DRIVE !");
            enterFormatFailure();
        } else if (fresh.empty()) {
            if (++tries_ >= 3) {
                fail(R_DRIVE_NOT_MATCH, "USB DRIVE NOT MATCH");
                enterFormatFailure();
            } else {
                memo(format("TRY AGAIN [%d]", tries_));
                passes_ = 0;
                state_ = S_PASSES;
            }
        } else {
            matched_ = fresh.front();
            std::memset(sector_, 0, sizeof sector_);
            const DriveRow row = matched_;
            startJob([this, row](std::string& cause) {
                return drives_.readFirstSector(row, sector_, cause);
            });
            state_ = S_READ_ID;
        }
        break;
    }
    case S_READ_ID:
        if (jobRunning())
            break;
        if (!job_.ok()) {
            fail(R_CANNOT_READ, "USB DRIVE CAN NOT READ");
            failFromJob(R_CANNOT_READ, "Read first sector");
            enterFormatFailure();
        } else if (std::memcmp(sector_ + 128, identity_, 4) != 0) {
            fail(R_ID_NOT_MATCH, "USB DRIVE ID NOT MATCH");
            enterFormatFailure();
        } else {
            passes_ = 0;
            state_ = S_AFTER_MATCH;
        }
        break;
    case S_AFTER_MATCH:
        if (passesDone(151))
            state_ = S_CHOOSE_FORMAT;
        break;

    // 6. Choose the format and partition the stick.
    case S_CHOOSE_FORMAT: {
        labelSwitch_ = labelSwitch(label_);
        if (!format_) {
            fail(R_FORMAT_TYPE, "FORMAT TYPE ERROR");
            enterFormatFailure();
            break;
        }
        partitionMiB_ = partitionSizeMiB(formatCode_, matched_.capacityMiB);
        if (debugLog_)
            debugLog_(format("Download: %s on %s (%s), %s %s, partition %llu MiB", format_->item,
                             matched_.name.c_str(), matched_.device.c_str(), format_->formatSwitch,
                             labelSwitch_.c_str(), (unsigned long long)partitionMiB_));
        const DriveRow row = matched_;
        const uint64_t size = partitionMiB_;
        const FileSystemKind fs = format_->fileSystem;
        startJob([this, row, size, fs](std::string& cause) {
            return drives_.partition(row, size, fs, cause);
        });
        periods_ = 0;
        periodStart_ = clock_.tickMs();
        state_ = S_PARTITION;
        break;
    }
    case S_PARTITION:
        if (jobRunning()) {
            if (periodElapsed() && ++periods_ >= 26) {
                fail(R_PARTITION_FAILED, "PARTITION TIME OUT");
                enterFormatFailure();
            }
            break;
        }
        if (!job_.ok()) {
            failFromJob(R_PARTITION_FAILED, "Partition");
            enterFormatFailure();
            break;
        }
        passes_ = 0;
        state_ = S_PARTITION_PASSES;
        break;
    case S_PARTITION_PASSES:
        if (passesDone(11))
            state_ = S_RUN_FORMAT;
        break;

    // 7. Format.
    case S_RUN_FORMAT: {
        memo(format("Start %s", format_->item));
        const DriveRow row = matched_;
        const FileSystemKind fs = format_->fileSystem;
        const std::string label = label_;
        startJob([this, row, fs, label](std::string& cause) {
            return drives_.format(row, fs, label, cause);
        });
        formatRetries_ = 0;
        periods_ = 0;
        periodStart_ = clock_.tickMs();
        checkStep_ = 0;
        formatEnded_ = false;
        state_ = S_CHECK_FORMAT;
        break;
    }

    // 8. Every period: the volume must be there, empty, with the right file system.
    case S_CHECK_FORMAT:
        stepFormatCheck();
        break;
    case S_FORMAT_DONE:
        memo("Format Complete !");
        state_ = S_COUNT_SOURCE;
        break;

    // 10. Count the source tree.
    case S_COUNT_SOURCE: {
        memo("Calculating the number of files ...");
        if (!checkSource()) {
            enterCopyPartEnd();
            break;
        }
        DriveRow row;
        if (!findMatched(row)) {
            result_ = R_NO_DRIVE_LEFT;
            memo("MASTER USB DRIVE IS GONE");
            enterCopyPartEnd();
            break;
        }
        walker_->startCount(params_.sourceDirectory);
        state_ = S_WAIT_COUNT;
        break;
    }
    case S_WAIT_COUNT:
        if (!walker_->isIdle())
            break;
        if (walker_->hasFailed()) {
            // Part of the tree cannot be read: the copy would leave it out unseen.
            memo("DIRECTORY NOT FOUND", false);
            memo(walker_->failedSourceDirectory(), false);
            result_ = R_DIRECTORY_NOT_FOUND;
            enterCopyPartEnd();
            break;
        }
        totalDirs_ = walker_->countedDirectories();
        totalFiles_ = walker_->countedFiles();
        totalBytes_ = walker_->countedBytes();
        files4G_ = walker_->countedFiles4GiB();
        state_ = S_CHECK_SIZES;
        break;

    // 11. Sizes; 12. start the copy.
    case S_CHECK_SIZES: {
        memo(format("Total File Count = %u", totalFiles_));
        memo(format("Total File Size = %.1f MByte (%llu Bytes)", double(totalBytes_) / 1048576.0,
                    (unsigned long long)totalBytes_));
        const int code = formatCode_ > 5 ? 2 : formatCode_;
        if (partitionMiB_ < neededMiB(totalBytes_)) {
            fail(R_SIZE_TOO_SMALL, "USB SIZE TOO SMALL");
            enterCopyPartEnd();
            break;
        }
        if (files4G_ > 0 && code >= 0 && code <= 2) {
            fail(R_FILE_4GB, "FILE 4GB SIZE");
            enterCopyPartEnd();
            break;
        }
        memo("Start COPY FILE");
        if (!checkSource()) {
            enterCopyPartEnd();
            break;
        }
        DriveRow row;
        if (!findMatched(row)) {
            result_ = R_NO_DRIVE_LEFT;
            memo("MASTER USB DRIVE IS GONE");
            enterCopyPartEnd();
            break;
        }
        startJob([this, row](std::string& cause) {
            std::string root;
            if (!drives_.mountRoot(row, root, cause))
                return false;
            volumeRoot_ = root;
            return true;
        });
        state_ = S_MOUNT_FOR_COPY;
        break;
    }
    case S_MOUNT_FOR_COPY:
        if (jobRunning())
            break;
        if (!job_.ok()) {
            failFromJob(R_COPY_FAILED, "Mount");
            copyFailed_ = true;
            memo("Fail at Copy File !");
            ui_.messageBox("Fail at Copy File !", "ERROR");
            enterCopyPartEnd();
            break;
        }
        mounted_ = true;
        abort_ = false;
        copyFailed_ = false;
        walker_->startCopy(params_.sourceDirectory, volumeRoot_);
        if (view_)
            view_->showProgress();
        state_ = S_COPY_RUNNING;
        break;

    // 13. Follow the copy and hand it the operator's stop.
    case S_COPY_RUNNING:
        copiedDirs_ = walker_->copiedDirectories();
        copiedFiles_ = walker_->copiedFiles();
        copiedBytes_ = walker_->copiedBytes();
        walker_->setStopRequest(abort_);
        if (walker_->isIdle())
            state_ = S_COPY_ENDED;
        break;

    // 14. The copy ended.
    case S_COPY_ENDED:
        copiedDirs_ = walker_->copiedDirectories();
        copiedFiles_ = walker_->copiedFiles();
        copiedBytes_ = walker_->copiedBytes();
        // A stop between two files ends the walker without an error, but the
        // master is as incomplete as after a stop inside a file.
        if (abort_) {
            fail(R_USER_ABORT, "USER COPY ABORT");
            enterCopyPartEnd();
        } else if (walker_->hasFailed()) {
            copyFailed_ = true;
            writeCopyErrorFile();
            fail(R_COPY_FAILED, "Fail at Copy File !");
            ui_.messageBox("Fail at Copy File !", "ERROR");
            enterCopyPartEnd();
        } else {
            // 15. Everything onto the medium.
            memo("COPY Complete !");
            memo("Synchronize device ...");
            const DriveRow row = matched_;
            startJob([this, row](std::string& cause) { return drives_.flush(row, cause); });
            state_ = S_RESCAN;
        }
        break;
    case S_RESCAN:
        if (jobRunning())
            break;
        if (!job_.ok()) {
            failFromJob(R_COPY_FAILED, "Synchronize");
            copyFailed_ = true;
            memo("Fail at Copy File !");
            ui_.messageBox("Fail at Copy File !", "ERROR");
            enterCopyPartEnd();
            break;
        }
        passes_ = 0;
        state_ = S_RESCAN_PASSES;
        break;
    case S_RESCAN_PASSES:
        if (passesDone(11)) {
            passes_ = 0;
            state_ = S_END_PASSES;
        }
        break;
    case S_END_PASSES:
        if (passesDone(21)) {
            if (view_) {
                view_->stopProgressTimer();
                view_->closeProgress();
            }
            state_ = S_EJECT;
            checkStep_ = 0;
        }
        break;

    // 16. Eject the stick, then give it five seconds.
    case S_EJECT: {
        DriveRow row;
        if (findMatched(row)) {
            startJob([this, row](std::string& cause) { return drives_.eject(row, cause); });
            ejected_ = true;
        }
        state_ = S_EJECT_WAIT;
        checkStep_ = 0;
        break;
    }
    case S_EJECT_WAIT:
        if (checkStep_ == 0) {
            if (jobRunning())
                break;
            if (ejected_ && !job_.ok() && debugLog_)
                debugLog_("Download: eject failed: " + job_.cause());
            mounted_ = false;
            waitStart_ = clock_.tickMs();
            checkStep_ = 1;
        } else if (clock_.tickMs() - waitStart_ >= 5000) {
            state_ = S_FINISH;
        }
        break;

    // The copy part ended early: what was mounted is unmounted, not ejected.
    case S_RELEASE:
        if (checkStep_ == 0) {
            if (jobRunning())
                break;
            if (mounted_) {
                const DriveRow row = matched_;
                startJob([this, row](std::string& cause) { return drives_.release(row, cause); });
                mounted_ = false;
                checkStep_ = 1;
                break;
            }
            state_ = S_FINISH;
        } else if (!jobRunning()) {
            if (!job_.ok() && debugLog_)
                debugLog_("Download: unmount failed: " + job_.cause());
            state_ = S_FINISH;
        }
        break;

    // 17, 18. Hand the master back and start the job.
    case S_FINISH:
        if (view_)
            view_->closeProgress();
        memo("Finish !");
        if (view_)
            view_->setControlsEnabled(true);
        returnMaster();
        if (engine_) {
            switch (jobCode_) {
            case 1:
                engine_->requestCopy();
                break;
            case 2:
                engine_->requestCopyCompare();
                break;
            case 3:
                engine_->requestCopyWriteProtect();
                break;
            case 4:
                engine_->requestCopyCompareWriteProtect();
                break;
            default:
                engine_->requestRelease();
                break;
            }
        }
        if (view_)
            view_->closeWindow();
        state_ = S_DONE;
        break;

    // The find-and-format part ended with a result: the master goes back and
    // the window stays open.
    case S_FORMAT_FAILED:
        if (checkStep_ == 0) {
            if (jobRunning())
                break;
            if (mounted_) {
                const DriveRow row = matched_;
                startJob([this, row](std::string& cause) { return drives_.release(row, cause); });
                mounted_ = false;
            }
            checkStep_ = 1;
            break;
        }
        if (jobRunning())
            break;
        ui_.messageBox("Prepare to switch Master USB back to controller.", "Notice");
        returnMaster();
        if (engine_)
            engine_->requestRelease();
        if (view_)
            view_->setControlsEnabled(true);
        state_ = S_DONE;
        break;
    default:
        state_ = S_DONE;
        break;
    }
}

void DownloadFlow::stepFormatCheck() {
    switch (checkStep_) {
    case 0: // wait for the next period, then look for the volume
        if (!periodElapsed())
            return;
        if (!formatEnded_) {
            if (jobRunning()) {
                if (++periods_ >= 21) {
                    fail(R_VOLUME_MISSING, "FORMAT TIME OUT");
                    enterFormatFailure();
                }
                return;
            }
            formatEnded_ = true;
            if (!job_.ok()) {
                failFromJob(R_VOLUME_MISSING, "Format");
                enterFormatFailure();
                return;
            }
        }
        if (!drives_.volumeInformation(matched_, volumeLabel_, volumeFileSystem_)) {
            if (++periods_ >= 21) {
                fail(R_VOLUME_MISSING, nullptr);
                memo("NO VOLUME AFTER FORMAT");
                enterFormatFailure();
            }
            return;
        }
        {
            const DriveRow row = matched_;
            startJob([this, row](std::string& cause) {
                std::string root;
                if (!drives_.mountRoot(row, root, cause))
                    return false;
                volumeRoot_ = root;
                return true;
            });
        }
        checkStep_ = 1;
        return;
    case 1: // mounting
        if (jobRunning())
            return;
        if (!job_.ok()) {
            if (debugLog_)
                debugLog_("Download: mount failed: " + job_.cause());
            if (++periods_ >= 21) {
                failFromJob(R_VOLUME_MISSING, "Mount");
                enterFormatFailure();
                return;
            }
            checkStep_ = 0;
            return;
        }
        mounted_ = true;
        walker_->startCount(volumeRoot_);
        checkStep_ = 2;
        return;
    case 2: { // counting the fresh volume
        if (!walker_->isIdle())
            return;
        const uint32_t d = walker_->countedDirectories();
        const uint32_t f = walker_->countedFiles();
        const uint64_t b = walker_->countedBytes();
        const bool empty = (d == 0 && f == 0 && b == 0) || (d == 1 && f == 0 && b == 0) ||
                           (d == 1 && f == 1 && b == 76) || (d == 1 && f == 2 && b == 88);
        checkStep_ = 0;
        if (!empty) {
            if (debugLog_)
                debugLog_(format("Download: fresh volume holds %u directories, %u files, %llu "
                                 "bytes",
                                 d, f, (unsigned long long)b));
            if (++formatRetries_ >= 4) {
                fail(R_VOLUME_NOT_EMPTY, nullptr);
                memo("VOLUME NOT EMPTY AFTER FORMAT");
                enterFormatFailure();
            }
            return;
        }
        if (strcasecmp(volumeFileSystem_.c_str(), format_->expectedName) != 0) {
            if (debugLog_)
                debugLog_("Download: fresh volume reports file system " + volumeFileSystem_);
            if (++formatRetries_ >= 4) {
                fail(R_WRONG_FILE_SYSTEM, nullptr);
                memo(format("WRONG FILE SYSTEM %s", volumeFileSystem_.c_str()));
                enterFormatFailure();
            }
            return;
        }
        state_ = S_FORMAT_DONE;
        return;
    }
    }
}

void DownloadFlow::returnMaster() {
    if (!engine_ || !engine_->returnMasterUsbToDuplicator())
        ui_.messageBox("Unable to switch Master USB to duplicator!", "Warning");
}

} // namespace dupmon
