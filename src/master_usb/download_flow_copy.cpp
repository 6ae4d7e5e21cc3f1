// The download flow's copy part: the source counted and copied onto the
// fresh volume, the stick synchronised and ejected, the master handed back
// and the chosen job started.
#include "common/file_io.h"
#include "common/text.h"
#include "master_usb/download_flow.h"
#include "protocol/machine_requests.h"

namespace dupmon {

void DownloadFlow::writeCopyErrorFile() {
    writeWholeFile(startupDir_ / "COPY_ERR.TXT", walker_->failedSourceDirectory() + "\r\n" +
                                                     walker_->copyTargetRoot() + "\r\n" +
                                                     walker_->uncreatedDirectory() + "\r\n");
}

bool DownloadFlow::endCopyPartWhenClosing() {
    if (!closing_)
        return false;
    result_ = R_CLOSED;
    enterCopyPartEnd();
    return true;
}

bool DownloadFlow::endCopyPartOnSourceProblem() {
    if (sourceResult_ == R_NONE)
        return false;
    reportSource();
    enterCopyPartEnd();
    return true;
}

void DownloadFlow::stepCopy() {
    switch (state_) {
    case S_FORMAT_DONE:
        memo("Format Complete !");
        state_ = S_COUNT_SOURCE;
        break;

    // 10. Count the source tree.
    case S_COUNT_SOURCE:
        if (endCopyPartWhenClosing())
            break;
        memo("Calculating the number of files ...");
        startJob([this](std::string& cause) {
            DriveRow row;
            return checkSource(cause) && findMatched(row, cause);
        });
        state_ = S_SOURCE_CHECKED;
        break;
    case S_SOURCE_CHECKED:
        if (jobRunning())
            break;
        if (endCopyPartOnSourceProblem())
            break;
        if (!worker_.ok()) {
            result_ = R_NO_DRIVE_LEFT;
            memo("MASTER USB DRIVE IS GONE");
            enterCopyPartEnd();
            break;
        }
        walker_->startCount(params_.sourceDirectory);
        state_ = S_WAIT_COUNT;
        break;
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
        if (endCopyPartWhenClosing())
            break;
        memo("Start COPY FILE");
        startJob([this](std::string& cause) {
            if (!checkSource(cause))
                return false;
            DriveRow row;
            if (!findMatched(row, cause))
                return false;
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
        if (endCopyPartOnSourceProblem())
            break;
        if (!worker_.ok()) {
            failFromJob(R_COPY_FAILED, "Mount");
            copyFailed_ = true;
            memo("Fail at Copy File !");
            ui_.messageBox("Fail at Copy File !", "ERROR");
            enterCopyPartEnd();
            break;
        }
        mounted_ = true;
        if (endCopyPartWhenClosing())
            break;
        abort_ = false;
        copyFailed_ = false;
        copyStarted_ = true;
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
        walker_->setStopRequest(abort_ || closing_);
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
        if (closing_) {
            result_ = R_CLOSED;
            enterCopyPartEnd();
        } else if (abort_) {
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
            copyStarted_ = false; // the stick holds the whole source now
            const DriveRow row = matched_;
            startJob([this, row](std::string& cause) { return drives_.flush(row, cause); });
            state_ = S_RESCAN;
        }
        break;
    case S_RESCAN:
        if (jobRunning())
            break;
        if (!worker_.ok()) {
            failFromJob(R_COPY_FAILED, "Synchronize");
            copyFailed_ = true;
            copyStarted_ = true;
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
        ejected_ = false;
        startJob([this](std::string& cause) {
            DriveRow now;
            if (!findMatched(now, cause))
                return true; // gone already: nothing to eject
            ejected_ = true;
            return drives_.eject(now, cause);
        });
        state_ = S_EJECT_WAIT;
        checkStep_ = 0;
        break;
    }
    case S_EJECT_WAIT:
        if (checkStep_ == 0) {
            if (jobRunning())
                break;
            if (ejected_ && !worker_.ok() && debugLog_)
                debugLog_("Download: eject failed: " + worker_.cause());
            mounted_ = false;
            waitStart_ = clock_.tickMs();
            checkStep_ = 1;
        } else if (clock_.tickMs() - waitStart_ >= 5000 || closing_) {
            state_ = S_FINISH;
        }
        break;

    // The copy part ended early: what was mounted is unmounted, not ejected.
    case S_RELEASE:
        if (checkStep_ == 0) {
            if (jobRunning())
                break;
            if (startRelease()) {
                checkStep_ = 1;
                break;
            }
            state_ = S_FINISH;
        } else if (!jobRunning()) {
            if (!worker_.ok() && debugLog_)
                debugLog_("Download: unmount failed: " + worker_.cause());
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
        if (machine_) {
            switch (jobCode_) {
            case 1:
                machine_->requestCopy();
                break;
            case 2:
                machine_->requestCopyCompare();
                break;
            case 3:
                machine_->requestCopyWriteProtect();
                break;
            case 4:
                machine_->requestCopyCompareWriteProtect();
                break;
            default:
                machine_->requestRelease();
                break;
            }
        }
        reportStickLeft();
        // A failure stays on the screen with its step and cause.
        if (view_ && result_ == R_NONE)
            view_->closeWindow();
        state_ = S_DONE;
        break;
    default:
        state_ = S_DONE;
        break;
    }
}

} // namespace dupmon
