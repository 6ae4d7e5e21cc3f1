// The machine window's rules, without Qt: which menus it shows and enables
// from the machine's flags and state, which requests it refuses and with what
// words, when it asks the continue-or-finish question and what an answer
// does, how a new nickname is sent and taken back, and what the window says
// once the machine is silent or unplugged. TFormMachine builds the widgets,
// asks this model, and paints what it answers.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "machine_window/port_status_board.h"
#include "protocol/command_machine.h"
#include "protocol/machine_info.h"

namespace dupmon {

// Captions of the message boxes that refuse a request.
inline constexpr const char* kJobRefusal = "Can't Execute this function";
inline constexpr const char* kSettingRefusal = "Abort Setting";

// The menu items the window shows, fixed by the machine's flags: the job log
// brings the LogData menu and the log number; feature bit 3 the jobs a PC
// may start (bit 4 those that write-protect), in place of Get Info.
struct MenuVisibility {
    bool changeMachineClock = false;
    bool setupMachineParameter = false;
    bool logData = false; // the LogData menu and the log number beside the job panels
    bool system = false;
    bool action = true;
    bool getInfo = false;
    bool downloadSourceFiles = false;
    bool copy = false;
    bool compare = false;
    bool copyCompare = false;
    bool copyWriteProtect = false;
    bool copyCompareWriteProtect = false;
    bool capacityCheck = false;
    bool sendFiles = false;
    bool nextJob = false;
    bool operator==(const MenuVisibility&) const = default;
};
MenuVisibility menuVisibility(const MachineInfo& info);

// The menus the window enables: the status blocks' choice (standby or a job),
// and none at all once the machine is unplugged.
struct MenuEnabling {
    bool menuBar = true;
    MenuState menus;
    bool operator==(const MenuEnabling& o) const {
        return menuBar == o.menuBar && menus.machine == o.menus.machine &&
               menus.logData == o.menus.logData && menus.action == o.menus.action &&
               menus.getInfo == o.menus.getInfo;
    }
};

// A request turned down: the message box's text and caption.
struct Refusal {
    std::string text;
    std::string caption;
    bool operator==(const Refusal&) const = default;
};

// What the continue-or-finish question does at a machine status block.
enum class QuestionStep {
    None,     // nothing changes
    Withdraw, // the machine no longer waits: a question or bar on screen goes
    Ask,      // it still waits, with no question open and no answer on its way
};
// How the question dialog was closed.
enum class QuestionAnswer { Continue, Finish, None };
// What the window does once the dialog is closed.
enum class AfterQuestion {
    Nothing,
    PostContinue,
    PostFinish,
    OfferInBar, // closed without a button while the machine waits: the bar offers both
};
// What an answer (from the dialog or the bar) becomes.
enum class AnswerStep {
    Ignore, // the machine is gone
    Refuse, // the machine does not answer: refused, and the bar stays to answer later
    Post,   // sent to the machine
};

// What the window tells the operator about a write the machine answered.
struct WriteReport {
    std::string statusText;   // shown in the status bar, when not empty
    bool clearStatus = false; // the status bar's "Setting..." goes
    std::string message;      // a message box once the engine's step has returned
    std::string caption;
    bool nicknameReverted = false; // the record holds the old name again: show it
    bool operator==(const WriteReport&) const = default;
};

class MachineWindowModel {
public:
    // `info` is the machine's record, which the nickname flow writes;
    // `board` holds what the status blocks said.
    MachineWindowModel(MachineInfo& info, const PortStatusBoard& board);

    // --- the window's life ---
    // The port map is built: the window takes requests from now on.
    void setReady() { ready_ = true; }
    bool ready() const { return ready_; }
    // Ready and the machine stands by (no function running).
    bool standby() const;
    MenuEnabling menuEnabling() const;

    // --- refusals ---
    // The machine does not answer: nothing may be asked of it.
    std::optional<Refusal> refusalWhileSilent(std::string_view caption) const;
    // Jobs and settings need the machine standing by (and answering).
    std::optional<Refusal> refusalUnlessStandby(std::string_view caption) const;

    // --- the continue-or-finish question ---
    // The machine waits for its operator's Continue or Finish (by its status block).
    bool waitingForOperator() const;
    // A machine status block arrived (the board has taken it).
    QuestionStep onMachineStatus(bool answerPending);
    // Whether the question may be shown now: one at a time, none while an
    // answer is on its way, none for a machine that moved on or is silent.
    bool mayAsk(bool questionOpen, bool answerPending) const;
    AfterQuestion onQuestionClosed(QuestionAnswer answer) const;
    AnswerStep answer();
    std::string questionText() const;

    // --- silence and unplugging ---
    void setSilent(bool silent) { silent_ = silent; }
    bool silent() const { return silent_; }
    // "... has not answered since hh:mm:ss ..." for a machine silent since `since`.
    static std::string silenceText(const LocalTime& since);
    // False when the window was already unplugged. `lost`: still plugged in
    // but taking none of the program's reports.
    bool unplug(bool lost);
    bool unplugged() const { return unplugged_; }
    bool lost() const { return lost_; }
    // Put before the window's title once unplugged.
    std::string unpluggedTitlePrefix() const;
    // The window's title from the program's caption.
    std::string windowCaption(std::string_view caption) const;
    // The notice above the port map once unplugged, naming `machineId`.
    std::string unpluggedText(std::string_view machineId) const;

    // --- writes whose outcome the window reports ---
    // The operator's new name (cut to what the machine keeps) goes into the
    // record, to be sent; the old one is kept to go back to.
    void startNickname(std::string_view typed);
    void clockRequested() { clockAsked_ = true; }
    // Nothing for a write this window did not ask for.
    std::optional<WriteReport> onWriteResult(const WriteOutcome& outcome, const LocalTime& now);

    // --- notices ---
    static std::string notAvailableText(std::string_view what);
    std::string deleteImageNotice() const;
    std::string renameImageNotice() const;

private:
    MachineInfo& info_;
    const PortStatusBoard& board_;
    bool ready_ = false;
    bool silent_ = false;
    bool unplugged_ = false;
    bool lost_ = false;
    // Status polls that found the machine waiting with no answer on its way.
    int waitingPolls_ = 0;
    bool clockAsked_ = false;
    bool nicknameAsked_ = false;
    std::string nicknameBefore_;
    std::string nicknameSent_;
};

} // namespace dupmon
