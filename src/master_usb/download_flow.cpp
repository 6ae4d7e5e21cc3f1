// The download flow's find-and-format part: Go and its loop, closing and
// ending, the master taken from the duplicator and found among the PC's drives,
// the question before erasing, the partition, the format and the check of the
// fresh volume.
#include "master_usb/download_flow.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "common/file_io.h"
#include "common/text.h"
#include "protocol/machine_requests.h"

namespace dupmon {

DownloadFlow::DownloadFlow(DriveService& drives, UiServices& ui, const Clock& clock,
                           std::filesystem::path startupDirectory)
    : drives_(drives), ui_(ui), clock_(clock), startupDir_(std::move(startupDirectory)),
      parameterFile_(startupDir_ / kDownloadParameterFile) {}

DownloadFlow::~DownloadFlow() {
    // Neither thread is waited for at work: the walker stops at its next
    // buffer, the drive worker's operation is asked to end.
    if (walker_)
        walker_->setStopRequest(true);
    worker_.cancel();
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
    // 5. The disks that are fixed now are never offered (on the drive
    // worker; Go waits for it).
    startJob([this](std::string&) {
        drives_.takeFixedDiskSnapshot();
        return true;
    });
    // 7. The parameters of the last run.
    // Five short lines: a larger file is not read further, and one that
    // cannot be read is as good as none.
    constexpr size_t kParameterFileLimit = 256 * 1024;
    if (const auto text = readSmallFile(parameterFile_, kParameterFileLimit))
        params_ = parseDownloadParameters(*text);
    return true;
}

void DownloadFlow::setMachine(MachineRequests* machine,
                              std::function<void(const std::string&)> debugLog) {
    machine_ = machine;
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
    memo(format("%s FAILED: %s", stepName, worker_.cause().c_str()));
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

void DownloadFlow::startJob(DriveWorker::Work work) {
    worker_.start(std::move(work));
}

bool DownloadFlow::findMatched(DriveRow& row, std::string& cause) {
    for (const DriveRow& r : drives_.scan())
        if (r.valid && r.name == matched_.name) {
            row = r;
            return true;
        }
    cause = "the master stick is no longer among the PC's drives";
    return false;
}

bool DownloadFlow::checkSource(std::string& cause) {
    std::error_code ec;
    const std::filesystem::path source(params_.sourceDirectory);
    sourceResult_ = R_NONE;
    if (params_.sourceDirectory.empty() || !std::filesystem::exists(source, ec)) {
        sourceResult_ = R_DIRECTORY_NOT_FOUND;
        cause = "no source folder";
        return false;
    }
    if (!std::filesystem::is_directory(source, ec)) {
        sourceResult_ = R_PARAMETER;
        cause = "the source is not a folder";
        return false;
    }
    return true;
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
    matched_ = found_ = DriveRow{};
    partitionMiB_ = 0;
    labelSwitch_.clear();
    closing_ = closeHandled_ = exiting_ = false;
    stickTouched_ = copyStarted_ = false;
    lastWaiting_.clear();

    // A label the file system cannot take is refused before the stick is touched.
    formatCode_ = params_.format;
    format_ = sourceFormat(formatCode_);
    label_ = params_.label;
    labelSwitch_ = labelSwitch(label_);
    if (!format_) {
        fail(R_FORMAT_TYPE, "FORMAT TYPE ERROR");
        if (view_)
            view_->setControlsEnabled(true);
        return;
    }
    std::string message;
    if (!checkVolumeLabel(format_->fileSystem, label_, message)) {
        ui_.messageBox(message, "Warning");
        if (view_)
            view_->setControlsEnabled(true);
        return;
    }

    running_ = true;
    state_ = S_CAN_FORMAT;
    checkStep_ = 0;
    passes_ = 0;
    while (state_ != S_DONE) {
        if (closing_ && !closeHandled_)
            handleClose();
        step();
        flushServiceLog();
        if (view_) {
            const std::string waiting = waitingText();
            if (waiting != lastWaiting_) {
                lastWaiting_ = waiting;
                view_->showWaiting(waiting);
            }
        }
        if (state_ == S_DONE)
            break;
        if (exiting_ || !ui_.processEvents()) {
            abandon();
            break;
        }
    }
    flushServiceLog();
    running_ = false;
    if (view_)
        view_->showWaiting({});
}

void DownloadFlow::abandon() {
    // The program is ending: nothing is waited for. The walker stops at its
    // next buffer and the drive operation is asked to end; the threads are
    // joined when the flow is destroyed. The stick stays at the PC.
    walker_->setStopRequest(true);
    worker_.cancel();
    if (stickTouched_) {
        const std::string text =
            format("The program ended during Download Source Files: the master stick %s of %s %s "
                   "and is still at the PC.",
                   stickText().c_str(), machineText().c_str(),
                   copyStarted_ ? "holds only part of the source files"
                                : "was being prepared and holds none of the source files");
        memo(text, false);
    } else if (debugLog_) {
        debugLog_("Download: the program ended during Download Source Files; the master stick was "
                  "not changed.");
    }
    state_ = S_DONE;
}

void DownloadFlow::handleClose() {
    // The window was closed. What has not touched the stick ends at once;
    // a partition or a format is let finish (a stick cut off in the middle
    // of either holds nothing usable), then the flow ends; a copy stops at
    // its next buffer. The stick goes back to the machine either way.
    closeHandled_ = true;
    memo("The window was closed: Download Source Files ends.");
    jobCode_ = 0; // no job is started for an operator who has left
    if (state_ <= S_TAKE) {
        worker_.cancel();
        state_ = S_END_UNTOUCHED;
        return;
    }
    if (!stickTouched_ && state_ < S_COUNT_SOURCE) {
        worker_.cancel();
        result_ = R_CLOSED;
        enterFormatFailure();
        return;
    }
    if (state_ == S_COPY_RUNNING)
        abort_ = true;
    // Every other state looks at closing_ where it would go on.
}

bool DownloadFlow::startRelease() {
    if (!mounted_)
        return false;
    const DriveRow row = matched_;
    startJob([this, row](std::string& cause) { return drives_.release(row, cause); });
    mounted_ = false;
    return true;
}

void DownloadFlow::endUntouched() {
    if (view_)
        view_->setControlsEnabled(true);
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
    // The drive service must be able to make the format (its tools are
    // there, it may run them): asked before anything else happens.
    case S_CAN_FORMAT:
        if (jobRunning())
            break; // the fixed-disk snapshot of the window's creation
        if (checkStep_ == 0) {
            memo("Checking the source folder ...");
            const FileSystemKind fs = format_->fileSystem;
            const std::string root = params_.sourceDirectory;
            startJob([this, fs, root](std::string& cause) {
                if (!drives_.canFormat(fs, cause))
                    return false;
                const std::atomic<bool>& stop = drives_.cancelFlag();
                sourceProblem_ = checkSourceTree(root, source_, sourceDetail_, &stop);
                return true;
            });
            checkStep_ = 1;
            break;
        }
        if (!worker_.ok()) {
            ui_.messageBox(worker_.cause(), "Warning");
            endUntouched();
            break;
        }
        if (!sourceUsable()) {
            endUntouched();
            break;
        }
        // 2. The drives before the hand-over.
        memo("Checking Master USB ...");
        startJob([this](std::string&) {
            scanRows_ = drives_.scan();
            return true;
        });
        state_ = S_SCAN_BEFORE;
        break;
    case S_SCAN_BEFORE:
        if (jobRunning())
            break;
        before_ = scanRows_;
        state_ = S_TAKE;
        break;

    // 4. Ask the duplicator to hand its master over, marked with the time.
    case S_TAKE: {
        const LocalTime t = clock_.localTime();
        const uint32_t seconds = uint32_t(daysFromCivil(t.year, t.month, t.day) * 86400 +
                                          t.hour * 3600 + t.minute * 60 + t.second);
        std::memcpy(identity_, &seconds, 4);
        int take = MASTER_COMMAND_FAILED;
        const bool accepted = machine_ && machine_->takeMasterUsbToPc(identity_, &take);
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
            endUntouched();
            break;
        }
        passes_ = 0;
        state_ = S_PASSES;
        break;
    }

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
    case S_DRIVE_SEARCH:
        startJob([this](std::string&) {
            scanRows_ = drives_.scan();
            return true;
        });
        state_ = S_DRIVE_SEARCH_WAIT;
        break;
    case S_DRIVE_SEARCH_WAIT: {
        if (jobRunning())
            break;
        const std::vector<DriveRow>& rows = scanRows_;
        if (rows.size() < before_.size()) {
            fail(R_DRIVE_NOT_FOUND, "USB DRIVE NOT FOUND");
            memo(format("The PC has fewer removable drives than before the hand-over (%zu, "
                        "then %zu): leave the other drives plugged in while the master is "
                        "refilled.",
                        before_.size(), rows.size()),
                 false);
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
            std::string names;
            for (const DriveRow& r : fresh)
                names += (names.empty() ? "" : ", ") + r.name;
            memo("More than one removable drive appeared after the hand-over (" + names +
                     "): unplug the others and try again.",
                 false);
            enterFormatFailure();
        } else if (fresh.empty()) {
            if (++tries_ >= 3) {
                fail(R_DRIVE_NOT_MATCH, "USB DRIVE NOT MATCH");
                // Said plainly: on a bus whose machines' sticks never reach this
                // PC's drives, this is where the flow ends.
                memo("The machine handed its master over, but no new removable drive "
                     "appeared on this PC.",
                     false);
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
                if (!drives_.readFirstSector(row, sector_, cause))
                    return false;
                // Its label, to name it to the operator (none is fine).
                if (!drives_.volumeInformation(row, found_.label, found_.fileSystem))
                    found_.label.clear();
                return true;
            });
            state_ = S_READ_ID;
        }
        break;
    }
    case S_READ_ID:
        if (jobRunning())
            break;
        if (!worker_.ok()) {
            fail(R_CANNOT_READ, "USB DRIVE CAN NOT READ");
            failFromJob(R_CANNOT_READ, "Read first sector");
            enterFormatFailure();
        } else if (std::memcmp(sector_ + 128, identity_, 4) != 0) {
            fail(R_ID_NOT_MATCH, "USB DRIVE ID NOT MATCH");
            memo("The new drive " + matched_.name +
                     " does not carry the mark the machine puts on its master: it is left "
                     "alone.",
                 false);
            enterFormatFailure();
        } else {
            passes_ = 0;
            state_ = S_AFTER_MATCH;
        }
        break;
    case S_AFTER_MATCH:
        if (passesDone(151))
            state_ = S_ASK;
        break;

    // The stick is known now: the source must fit its partition, and the
    // operator must agree to lose what it holds.
    case S_ASK:
        partitionMiB_ = partitionSizeMiB(formatCode_, matched_.capacityMiB);
        if (partitionMiB_ < neededMiB(source_.bytes)) {
            fail(R_SIZE_TOO_SMALL, "USB SIZE TOO SMALL");
            memo(format("The source needs %llu MiB; the master stick %s gives it %llu MiB.",
                        (unsigned long long)neededMiB(source_.bytes), stickText().c_str(),
                        (unsigned long long)partitionMiB_),
                 false);
            enterFormatFailure();
            break;
        }
        if (!askToErase()) {
            result_ = R_CANCELLED;
            memo("Not erased: the master stick was not changed.");
            enterFormatFailure();
            break;
        }
        state_ = S_CHOOSE_FORMAT;
        break;

    // 6. Partition the stick with the chosen format's size.
    case S_CHOOSE_FORMAT: {
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
        stickTouched_ = true;
        periods_ = 0;
        periodStart_ = clock_.tickMs();
        state_ = S_PARTITION;
        break;
    }
    case S_PARTITION:
        if (jobRunning()) {
            if (periodElapsed() && ++periods_ >= 26) {
                worker_.cancel();
                fail(R_PARTITION_FAILED, "PARTITION TIME OUT");
                enterFormatFailure();
            }
            break;
        }
        if (!worker_.ok()) {
            failFromJob(R_PARTITION_FAILED, "Partition");
            enterFormatFailure();
            break;
        }
        passes_ = 0;
        state_ = S_PARTITION_PASSES;
        break;
    case S_PARTITION_PASSES:
        if (closing_) {
            result_ = R_CLOSED;
            enterFormatFailure();
            break;
        }
        if (passesDone(11))
            state_ = S_RUN_FORMAT;
        break;

    // 7. Format.
    case S_RUN_FORMAT: {
        if (closing_) {
            result_ = R_CLOSED;
            enterFormatFailure();
            break;
        }
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

    // The find-and-format part ended with a result: the master goes back and
    // the window stays open.
    case S_FORMAT_FAILED:
        if (checkStep_ == 0) {
            if (jobRunning())
                break;
            startRelease();
            checkStep_ = 1;
            break;
        }
        if (jobRunning())
            break;
        if (!closing_)
            ui_.messageBox("Prepare to switch Master USB back to controller.", "Notice");
        returnMaster();
        if (machine_)
            machine_->requestRelease();
        reportStickLeft();
        if (view_)
            view_->setControlsEnabled(true);
        state_ = S_DONE;
        break;
    case S_END_UNTOUCHED:
        if (!jobRunning())
            endUntouched();
        break;
    default:
        stepCopy();
        break;
    }
}

void DownloadFlow::stepFormatCheck() {
    switch (checkStep_) {
    case 0: // wait for the next period, then look for the volume
        if (closing_ && !jobRunning()) {
            result_ = R_CLOSED;
            enterFormatFailure();
            return;
        }
        if (!periodElapsed())
            return;
        if (!formatEnded_) {
            if (jobRunning()) {
                if (++periods_ >= 21) {
                    worker_.cancel();
                    fail(R_VOLUME_MISSING, "FORMAT TIME OUT");
                    enterFormatFailure();
                }
                return;
            }
            formatEnded_ = true;
            if (!worker_.ok()) {
                failFromJob(R_VOLUME_MISSING, "Format");
                enterFormatFailure();
                return;
            }
        }
        {
            const DriveRow row = matched_;
            startJob([this, row](std::string& cause) {
                if (!drives_.volumeInformation(row, volumeLabel_, volumeFileSystem_)) {
                    cause = "no volume yet";
                    return false;
                }
                return true;
            });
        }
        checkStep_ = 3;
        return;
    case 3: // the volume's information
        if (jobRunning())
            return;
        if (!worker_.ok()) {
            checkStep_ = 0;
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
        if (!worker_.ok()) {
            if (debugLog_)
                debugLog_("Download: mount failed: " + worker_.cause());
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
    if (!machine_ || !machine_->returnMasterUsbToDuplicator())
        ui_.messageBox("Unable to switch Master USB to duplicator!", "Warning");
}

} // namespace dupmon
