// The machine window's rules: menus, refusals, the continue-or-finish
// question, the nickname and clock writes, silence and unplugging.
#include "machine_window/machine_window_model.h"

#include "common/text.h"
#include "machine_window/window_texts.h"
#include "protocol/machine_activity.h"
#include "protocol/machine_names.h"

namespace dupmon {

namespace {

const char kNotInStandby[] = "Machine Doesn't in Standby !";
const char kNotAnswering[] =
    "The machine does not answer: nothing is sent to it until it answers again.";

const char* writeFailure(WriteResult r) {
    return r == WriteResult::Refused    ? "The machine refused it"
           : r == WriteResult::NoAnswer ? "The machine did not answer"
                                        : "The machine does not answer";
}

} // namespace

MenuVisibility menuVisibility(const MachineInfo& info) {
    MenuVisibility v;
    v.logData = info.support_LogRecord == 1;
    if (info.flag_feature_bit3 == 1) {
        v.downloadSourceFiles = v.copy = v.compare = v.copyCompare = true;
        v.copyWriteProtect = v.copyCompareWriteProtect = info.flag_feature_bit4 == 1;
    } else {
        v.getInfo = true;
    }
    return v;
}

MachineWindowModel::MachineWindowModel(MachineInfo& info, const PortStatusBoard& board)
    : info_(info), board_(board) {}

bool MachineWindowModel::standby() const {
    return ready_ && board_.currentFunction() == 0;
}

MenuEnabling MachineWindowModel::menuEnabling() const {
    return {!unplugged_, board_.menus()};
}

std::optional<Refusal> MachineWindowModel::refusalWhileSilent(std::string_view caption) const {
    if (!silent_)
        return std::nullopt;
    return Refusal{kNotAnswering, std::string(caption)};
}

std::optional<Refusal> MachineWindowModel::refusalUnlessStandby(std::string_view caption) const {
    if (auto no = refusalWhileSilent(caption))
        return no;
    if (standby())
        return std::nullopt;
    return Refusal{kNotInStandby, std::string(caption)};
}

bool MachineWindowModel::waitingForOperator() const {
    const uint8_t* s = board_.statusCopy();
    return info_.flag_feature_bit3 == 1 && machineActivity(s[2], s[3]) == MachineActivity::Waiting;
}

QuestionStep MachineWindowModel::onMachineStatus(bool answerPending) {
    if (!waitingForOperator()) {
        // Answered at its panel, or moved on: nothing left to answer here.
        waitingPolls_ = 0;
        return QuestionStep::Withdraw;
    }
    if (answerPending) {
        waitingPolls_ = 0;
        return QuestionStep::None;
    }
    // Still waiting, with no question open and no answer on its way (a
    // question the machine's sub-state did not bring): ask it now.
    return ++waitingPolls_ >= 2 ? QuestionStep::Ask : QuestionStep::None;
}

bool MachineWindowModel::mayAsk(bool questionOpen, bool answerPending) const {
    return !unplugged_ && !silent_ && !questionOpen && !answerPending && waitingForOperator();
}

AfterQuestion MachineWindowModel::onQuestionClosed(QuestionAnswer answer) const {
    if (unplugged_)
        return AfterQuestion::Nothing;
    switch (answer) {
    case QuestionAnswer::Continue:
        return AfterQuestion::PostContinue;
    case QuestionAnswer::Finish:
        return AfterQuestion::PostFinish;
    case QuestionAnswer::None:
        break;
    }
    // Closed without a button: no answer. While the machine still waits, the
    // window offers the two answers until one is given or the machine moves on.
    return waitingForOperator() ? AfterQuestion::OfferInBar : AfterQuestion::Nothing;
}

AnswerStep MachineWindowModel::answer() {
    if (unplugged_)
        return AnswerStep::Ignore;
    // Not kept for later: the bar stays, to answer once the machine answers again.
    if (silent_)
        return AnswerStep::Refuse;
    waitingPolls_ = 0;
    return AnswerStep::Post;
}

std::string MachineWindowModel::questionText() const {
    return continueOrFinishText(info_);
}

std::string MachineWindowModel::silenceText(const LocalTime& t) {
    return format("This machine has not answered since %02d:%02d:%02d. Nothing is sent to it, and "
                  "what is asked of it is refused, until it answers again.",
                  t.hour, t.minute, t.second);
}

bool MachineWindowModel::unplug(bool lost) {
    if (unplugged_)
        return false;
    unplugged_ = true;
    lost_ = lost;
    return true;
}

std::string MachineWindowModel::unpluggedTitlePrefix() const {
    if (!unplugged_)
        return "";
    return lost_ ? "Not answering - " : "Unplugged - ";
}

std::string MachineWindowModel::windowCaption(std::string_view caption) const {
    return unpluggedTitlePrefix() + machineWindowCaption(info_, caption);
}

std::string MachineWindowModel::unpluggedText(std::string_view machineId) const {
    const std::string id(machineId);
    if (lost_)
        return "This machine stopped taking the program's commands: " + id +
               ". The window shows its last state. Switch the machine off and on, or unplug it "
               "and plug it in again, and click its picture on the board for a live window.";
    return "This machine was unplugged: " + id +
           ". The window shows its last state. Plug it in again and click its picture on the "
           "board for a live window.";
}

void MachineWindowModel::startNickname(std::string_view typed) {
    nicknameBefore_ = std::string(fieldText(info_.nickName, sizeof info_.nickName));
    copyField(info_.nickName, sizeof info_.nickName, limitNickname(typed));
    nicknameSent_ = std::string(fieldText(info_.nickName, sizeof info_.nickName));
    nicknameAsked_ = true;
}

std::optional<WriteReport> MachineWindowModel::onWriteResult(const WriteOutcome& o,
                                                             const LocalTime& now) {
    WriteReport r;
    if (o.what == MachineWrite::Clock && clockAsked_) {
        clockAsked_ = false;
        if (o.result == WriteResult::Done) {
            r.statusText = "The machine clock of " + machineNameAndId(info_) +
                           " was set to the PC's time, " + computerClockText(now) + ".";
            r.message = r.statusText;
            r.caption = "Message";
            return r;
        }
        r.clearStatus = true; // not "Setting..." any more
        r.message = format("Can't Set Machine Clock !\n\n%s: its clock was not set to the PC's "
                           "time.",
                           writeFailure(o.result));
        r.caption = "ERROR !";
        return r;
    }
    if (o.what == MachineWrite::Nickname && nicknameAsked_) {
        nicknameAsked_ = false;
        if (o.result == WriteResult::Done) {
            r.statusText = "The machine took the name \"" + nicknameSent_ + "\".";
            return r;
        }
        // The window and the board go back to the name the machine has.
        if (fieldText(info_.nickName, sizeof info_.nickName) == nicknameSent_) {
            copyField(info_.nickName, sizeof info_.nickName, nicknameBefore_);
            r.nicknameReverted = true;
        }
        r.message = format("Can't Set Nickname !\n\n%s: the machine keeps the name \"%s\".",
                           writeFailure(o.result), nicknameBefore_.c_str());
        r.caption = "ERROR !";
        return r;
    }
    return std::nullopt;
}

std::string MachineWindowModel::notAvailableText(std::string_view what) {
    return std::string(what) + " is not available in this program yet.";
}

std::string MachineWindowModel::deleteImageNotice() const {
    return "Delete Image: " + machineNameAndId(info_) +
           " takes no request from the PC to delete an image. Delete it at the machine's panel, "
           "then click Add Image to see the bank again.";
}

std::string MachineWindowModel::renameImageNotice() const {
    return "Rename Image: " + machineNameAndId(info_) +
           " takes no request from the PC to rename an image, and does not tell the PC the names "
           "of its images. Rename it at the machine's panel.";
}

} // namespace dupmon
