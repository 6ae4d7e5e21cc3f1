// What the download flow tells the operator: the source check's outcome,
// the question before the stick is erased, what the flow waits for, and the
// state a failure left the stick in.
#include "common/text.h"
#include "master_usb/download_flow.h"
#include "protocol/machine_requests.h"

namespace dupmon {

void DownloadFlow::reportSource() {
    if (sourceResult_ == R_DIRECTORY_NOT_FOUND)
        memo("DIRECTORY NOT FOUND", false);
    else if (sourceResult_ == R_PARAMETER)
        memo("PARAMETER ERROR", false);
    result_ = sourceResult_;
}

bool DownloadFlow::sourceUsable() {
    const char* code = nullptr;
    switch (sourceProblem_) {
    case SourceProblem::None:
        break;
    case SourceProblem::NotChosen:
    case SourceProblem::Missing:
        result_ = R_DIRECTORY_NOT_FOUND;
        code = "DIRECTORY NOT FOUND";
        break;
    case SourceProblem::NotAFolder:
        result_ = R_PARAMETER;
        code = "PARAMETER ERROR";
        break;
    case SourceProblem::Unreadable:
    case SourceProblem::Stopped:
        result_ = R_SOURCE_UNREADABLE;
        code = "SOURCE NOT READABLE";
        break;
    case SourceProblem::Empty:
        result_ = R_SOURCE_EMPTY;
        code = "SOURCE DIRECTORY EMPTY";
        break;
    }
    if (code) {
        memo(code, false);
        memo(sourceDetail_, false);
        return false;
    }
    const int fsCode = formatCode_ > 5 ? 2 : formatCode_;
    if (source_.files4GiB > 0 && fsCode >= 0 && fsCode <= 2) {
        fail(R_FILE_4GB, "FILE 4GB SIZE");
        memo(format("%s is 4 GiB or more, more than a %s volume can hold a file: choose FORMAT "
                    "EXFAT or FORMAT NTFS.",
                    source_.first4GiB.c_str(), format_->expectedName),
             false);
        return false;
    }
    return true;
}

bool DownloadFlow::askToErase() {
    const std::string text = format(
        "Erase the master stick of %s?\n\nThe stick: %s\n\nEverything on it is erased and "
        "replaced by the %u files (%.1f MByte) of %s on a new %s volume.",
        machineText().c_str(), stickText().c_str(), source_.files,
        double(source_.bytes) / 1048576.0, params_.sourceDirectory.c_str(), format_->expectedName);
    const bool yes = ui_.askYesNo(text, "Warning");
    if (debugLog_)
        debugLog_(std::string("Download: erase the master stick? ") + (yes ? "yes" : "no"));
    return yes;
}

std::string DownloadFlow::machineText() const {
    if (!machine_)
        return "the machine";
    const MachineInfo& info = machine_->info();
    const std::string nick(fieldText(info.nickName, sizeof info.nickName));
    const std::string id(fieldText(info.machineId, sizeof info.machineId));
    if (nick.empty())
        return "machine " + id;
    return "machine " + nick + " [" + id + "]";
}

std::string DownloadFlow::stickText() const {
    std::string text = found_.label.empty() ? "without a label" : "\"" + found_.label + "\"";
    text += format(" (%llu MiB", (unsigned long long)matched_.capacityMiB);
    if (!matched_.model.empty())
        text += ", " + matched_.model;
    return text + ")";
}

void DownloadFlow::reportStickLeft() {
    // A stick that was changed but not filled must not go back into use
    // unnoticed: the duplicator would copy it onto every target.
    if (!stickTouched_ || result_ == R_NONE)
        return;
    const std::string what = copyStarted_ ? "holds only part of the source files"
                                          : "holds none of the source files: its old contents "
                                            "are erased";
    const std::string text =
        format("The master stick %s of %s %s. Run Download Source Files again before the machine "
               "copies from it.",
               stickText().c_str(), machineText().c_str(), what.c_str());
    memo(text, false);
    if (closing_)
        ui_.messageBox(text, "Warning");
}

std::string DownloadFlow::waitingText() const {
    if (!running_)
        return {};
    const bool toolRuns = jobRunning() && (state_ == S_PARTITION || state_ == S_CHECK_FORMAT);
    if (closing_)
        return toolRuns ? "closing when the format ends" : "closing...";
    switch (state_) {
    case S_PASSES:
    case 65:
    case 66:
    case 67:
    case S_SETTLE_START:
    case S_SETTLE_WAIT:
    case S_SETTLE_PASSES:
    case S_DRIVE_SEARCH:
    case S_DRIVE_SEARCH_WAIT:
        return "waiting for the master stick to appear...";
    case S_READ_ID:
        return "reading the master stick...";
    case S_PARTITION:
    case S_PARTITION_PASSES:
        return "partitioning...";
    case S_RUN_FORMAT:
    case S_CHECK_FORMAT:
        return "formatting...";
    case S_WAIT_COUNT:
        return "counting the source files...";
    case S_COPY_RUNNING:
        return "copying...";
    case S_RESCAN:
        return "writing everything to the stick...";
    case S_EJECT:
    case S_EJECT_WAIT:
        return "ejecting...";
    default:
        return {};
    }
}

} // namespace dupmon
