// The machine window's rules without a display: one table per rule, from the
// machine's flags and status blocks to what the window shows and says.
#include <gtest/gtest.h>

#include <vector>

#include "common/text.h"
#include "machine_window/machine_window_model.h"

using namespace dupmon;

namespace {

MachineInfo machine(int bit3, int bit4 = 0, int log = 1) {
    MachineInfo info{};
    info.maxDeviceQty = 8;
    info.portQty_per_board = 8;
    info.controller_version_MAJOR = 2;
    info.controller_version_SUB = 9;
    info.flag_feature_bit3 = uint8_t(bit3);
    info.flag_feature_bit4 = uint8_t(bit4);
    info.support_LogRecord = uint8_t(log);
    copyField(info.modelName, sizeof info.modelName, "UB-16");
    copyField(info.machineId, sizeof info.machineId, "M-0042");
    return info;
}

// A machine status block as the engine hands it to the window.
void status(PortStatusBoard& board, uint8_t function, uint8_t phase = 0) {
    uint8_t b[28] = {};
    b[2] = function;
    b[3] = phase;
    board.onStatus(STATUS_MACHINE, b);
}

} // namespace

namespace dupmon {
void PrintTo(const WriteReport& r, std::ostream* os) {
    *os << "{status \"" << r.statusText << "\", clear " << r.clearStatus << ", message \""
        << r.message << "\", caption \"" << r.caption << "\", reverted " << r.nicknameReverted
        << "}";
}
void PrintTo(const Refusal& r, std::ostream* os) {
    *os << "{\"" << r.text << "\", \"" << r.caption << "\"}";
}
} // namespace dupmon

namespace {

struct Window {
    MachineInfo info;
    PortStatusBoard board{info};
    MachineWindowModel model{info, board};
    explicit Window(MachineInfo i) : info(i) {}
};

} // namespace

TEST(MachineWindowModel, MenusShownFollowTheMachinesFlags) {
    struct Case {
        const char* what;
        int bit3, bit4, log;
        MenuVisibility shown;
    };
    MenuVisibility getInfoOnly;
    getInfoOnly.getInfo = true;
    MenuVisibility withLog = getInfoOnly;
    withLog.logData = true;
    MenuVisibility jobs;
    jobs.logData = true;
    jobs.downloadSourceFiles = jobs.copy = jobs.compare = jobs.copyCompare = true;
    MenuVisibility protect = jobs;
    protect.copyWriteProtect = protect.copyCompareWriteProtect = true;
    MenuVisibility protectNoLog = protect;
    protectNoLog.logData = false;
    const Case cases[] = {
        {"no jobs from the PC, no job log", 0, 0, 0, getInfoOnly},
        {"no jobs from the PC, bit 4 alone changes nothing", 0, 1, 1, withLog},
        {"jobs from the PC", 1, 0, 1, jobs},
        {"jobs that write-protect too", 1, 1, 1, protect},
        {"write-protect jobs, no job log", 1, 1, 0, protectNoLog},
        {"a job-log flag other than 1 is no job log", 1, 1, 2, protectNoLog},
    };
    for (const Case& c : cases) {
        const MenuVisibility v = menuVisibility(machine(c.bit3, c.bit4, c.log));
        EXPECT_EQ(v, c.shown) << c.what;
        // Never shown, whatever the flags.
        EXPECT_TRUE(v.action && !v.system && !v.changeMachineClock && !v.setupMachineParameter &&
                    !v.capacityCheck && !v.sendFiles && !v.nextJob)
            << c.what;
    }
}

TEST(MachineWindowModel, MenusEnabledFollowStandbyAndTheUnplug) {
    struct Case {
        const char* what;
        int major, sub;                 // controller version: jobs from 2.8.8 on
        std::vector<uint8_t> functions; // status blocks seen, in order
        bool unplugged;
        MenuEnabling expected;
    };
    const Case cases[] = {
        {"before any status block", 2, 9, {}, false, {true, {false, true, true, true}}},
        {"before any status, old controller", 2, 7, {}, false, {true, {false, true, false, false}}},
        {"standing by", 2, 9, {0}, false, {true, {true, true, true, true}}},
        {"the second standby code", 2, 9, {29}, false, {true, {true, true, true, true}}},
        {"standing by, old controller", 2, 7, {0}, false, {true, {true, true, false, false}}},
        {"running a copy: Get Info keeps its state",
         2,
         9,
         {0, 1},
         false,
         {true, {false, false, false, true}}},
        {"back in standby", 2, 9, {1, 0}, false, {true, {true, true, true, true}}},
        {"unplugged while standing by", 2, 9, {0}, true, {false, {true, true, true, true}}},
    };
    for (const Case& c : cases) {
        MachineInfo info = machine(1);
        info.controller_version_MAJOR = uint8_t(c.major);
        info.controller_version_SUB = uint8_t(c.sub);
        Window w(info);
        for (uint8_t f : c.functions)
            status(w.board, f);
        if (c.unplugged)
            w.model.unplug(false);
        EXPECT_EQ(w.model.menuEnabling(), c.expected) << c.what;
    }
}

TEST(MachineWindowModel, RequestsAreRefusedWhileSilentOrBusy) {
    const Refusal silentJob{
        "The machine does not answer: nothing is sent to it until it answers again.", kJobRefusal};
    const Refusal busyJob{"Machine Doesn't in Standby !", kJobRefusal};
    struct Case {
        const char* what;
        bool ready, silent;
        uint8_t function;
        std::optional<Refusal> whileSilent, unlessStandby;
    };
    const Case cases[] = {
        {"standing by", true, false, 0, std::nullopt, std::nullopt},
        {"running a job", true, false, 1, std::nullopt, busyJob},
        {"the second standby code is no standby for requests", true, false, 29, std::nullopt,
         busyJob},
        {"window not built yet", false, false, 0, std::nullopt, busyJob},
        {"silent in standby", true, true, 0, silentJob, silentJob},
        {"silent while busy: silence is said first", true, true, 1, silentJob, silentJob},
    };
    for (const Case& c : cases) {
        Window w(machine(1));
        status(w.board, c.function);
        if (c.ready)
            w.model.setReady();
        w.model.setSilent(c.silent);
        EXPECT_EQ(w.model.standby(), c.ready && c.function == 0) << c.what;
        EXPECT_EQ(w.model.refusalWhileSilent(kJobRefusal), c.whileSilent) << c.what;
        EXPECT_EQ(w.model.refusalUnlessStandby(kJobRefusal), c.unlessStandby) << c.what;
    }
    Window w(machine(1));
    EXPECT_EQ(w.model.refusalUnlessStandby(kSettingRefusal)->caption, "Abort Setting");
}

TEST(MachineWindowModel, TheQuestionIsAskedOnTheSecondWaitingPollWithNoAnswerOnItsWay) {
    // Each poll: the machine's function and phase, whether an answer is
    // pending, and what the window does.
    struct Poll {
        uint8_t function, phase;
        bool answerPending;
        QuestionStep step;
    };
    struct Case {
        const char* what;
        int bit3;
        std::vector<Poll> polls;
    };
    using enum QuestionStep;
    const Case cases[] = {
        {"waiting twice: asked", 1, {{1, 6, false, None}, {1, 6, false, Ask}, {1, 6, false, Ask}}},
        {"phase 12 waits too", 1, {{4, 12, false, None}, {4, 12, false, Ask}}},
        {"an answer on its way starts the count again",
         1,
         {{1, 6, false, None}, {1, 6, true, None}, {1, 6, false, None}, {1, 6, false, Ask}}},
        {"moved on between polls: withdrawn, counted from 0",
         1,
         {{1, 6, false, None}, {1, 4, false, Withdraw}, {1, 6, false, None}, {1, 6, false, Ask}}},
        {"standby withdraws", 1, {{0, 0, false, Withdraw}}},
        {"a function that never waits", 1, {{2, 6, false, Withdraw}, {2, 6, false, Withdraw}}},
        {"no jobs from the PC: never asked", 0, {{1, 6, false, Withdraw}, {1, 6, false, Withdraw}}},
    };
    for (const Case& c : cases) {
        Window w(machine(c.bit3));
        int n = 0;
        for (const Poll& p : c.polls) {
            status(w.board, p.function, p.phase);
            EXPECT_EQ(w.model.onMachineStatus(p.answerPending), p.step) << c.what << ", poll " << n;
            ++n;
        }
    }
}

TEST(MachineWindowModel, TheQuestionIsShownOnlyToAWaitingMachineThatCanAnswer) {
    struct Case {
        const char* what;
        bool waiting, open, pending, silent, unplugged, may;
    };
    const Case cases[] = {
        {"waiting, nothing open", true, false, false, false, false, true},
        {"not waiting", false, false, false, false, false, false},
        {"a question already open", true, true, false, false, false, false},
        {"an answer on its way", true, false, true, false, false, false},
        {"silent", true, false, false, true, false, false},
        {"unplugged", true, false, false, false, true, false},
    };
    for (const Case& c : cases) {
        Window w(machine(1));
        status(w.board, 1, c.waiting ? 6 : 4);
        w.model.setSilent(c.silent);
        if (c.unplugged)
            w.model.unplug(false);
        EXPECT_EQ(w.model.mayAsk(c.open, c.pending), c.may) << c.what;
    }
}

TEST(MachineWindowModel, AClosedQuestionAndAnAnswerBecomeWhatTheMachineIsSent) {
    struct Case {
        const char* what;
        QuestionAnswer closedWith;
        bool waiting, silent, unplugged;
        AfterQuestion after;
        AnswerStep answer;
    };
    using enum QuestionAnswer;
    const Case cases[] = {
        {"Continue", Continue, true, false, false, AfterQuestion::PostContinue, AnswerStep::Post},
        {"Finish", Finish, true, false, false, AfterQuestion::PostFinish, AnswerStep::Post},
        {"Esc while it waits: the bar offers both", None, true, false, false,
         AfterQuestion::OfferInBar, AnswerStep::Post},
        {"Esc once it moved on", None, false, false, false, AfterQuestion::Nothing,
         AnswerStep::Post},
        {"Continue to a silent machine: refused, the bar stays", Continue, true, true, false,
         AfterQuestion::PostContinue, AnswerStep::Refuse},
        {"Continue to an unplugged machine", Continue, true, false, true, AfterQuestion::Nothing,
         AnswerStep::Ignore},
        {"Esc on an unplugged machine", None, true, false, true, AfterQuestion::Nothing,
         AnswerStep::Ignore},
    };
    for (const Case& c : cases) {
        Window w(machine(1));
        status(w.board, 1, c.waiting ? 6 : 4);
        w.model.setSilent(c.silent);
        if (c.unplugged)
            w.model.unplug(false);
        EXPECT_EQ(w.model.onQuestionClosed(c.closedWith), c.after) << c.what;
        EXPECT_EQ(w.model.answer(), c.answer) << c.what;
    }
    // A posted answer starts the count of waiting polls again.
    Window w(machine(1));
    status(w.board, 1, 6);
    EXPECT_EQ(w.model.onMachineStatus(false), QuestionStep::None);
    EXPECT_EQ(w.model.answer(), AnswerStep::Post);
    EXPECT_EQ(w.model.onMachineStatus(false), QuestionStep::None);
    EXPECT_EQ(w.model.onMachineStatus(false), QuestionStep::Ask);
    EXPECT_EQ(w.model.questionText(),
              "UB-16 (M-0042) asks: Continue runs the job again on new targets, Finish ends it.");
}

TEST(MachineWindowModel, WriteOutcomesAreToldOnlyForWritesThisWindowAsked) {
    const LocalTime now{2026, 12, 11, 9, 5, 3, 0, 5};
    const std::string setClock = "The machine clock of UB-16 [M-0042] was set to the PC's time, "
                                 "2026-12-11 09:05:03.";
    struct Case {
        const char* what;
        MachineWrite write;
        bool asked;
        WriteResult result;
        std::optional<WriteReport> report;
    };
    const Case cases[] = {
        {"clock set", MachineWrite::Clock, true, WriteResult::Done,
         WriteReport{setClock, false, setClock, "Message", false}},
        {"clock refused", MachineWrite::Clock, true, WriteResult::Refused,
         WriteReport{"", true,
                     "Can't Set Machine Clock !\n\nThe machine refused it: its clock was not set "
                     "to the PC's time.",
                     "ERROR !", false}},
        {"clock unanswered", MachineWrite::Clock, true, WriteResult::NoAnswer,
         WriteReport{"", true,
                     "Can't Set Machine Clock !\n\nThe machine did not answer: its clock was not "
                     "set to the PC's time.",
                     "ERROR !", false}},
        {"clock never sent", MachineWrite::Clock, true, WriteResult::NotSent,
         WriteReport{"", true,
                     "Can't Set Machine Clock !\n\nThe machine does not answer: its clock was not "
                     "set to the PC's time.",
                     "ERROR !", false}},
        {"a clock write another window asked for", MachineWrite::Clock, false, WriteResult::Done,
         std::nullopt},
        {"a setup write is not this window's to tell", MachineWrite::Setup, true,
         WriteResult::Refused, std::nullopt},
    };
    for (const Case& c : cases) {
        Window w(machine(1));
        if (c.asked)
            w.model.clockRequested();
        EXPECT_EQ(w.model.onWriteResult({c.write, c.result, 0}, now), c.report) << c.what;
        // Told once.
        EXPECT_EQ(w.model.onWriteResult({c.write, c.result, 0}, now), std::nullopt) << c.what;
    }
}

TEST(MachineWindowModel, ANicknameTheMachineDidNotTakeIsTakenBack) {
    struct Case {
        const char* what;
        std::string typed;
        WriteResult result;
        bool renamedMeanwhile; // the record changed name before the answer came
        std::string shownAfter;
        std::optional<WriteReport> report;
    };
    const std::string fifty(50, 'x');
    const Case cases[] = {
        {"taken", "Line 3", WriteResult::Done, false, "Line 3",
         WriteReport{"The machine took the name \"Line 3\".", false, "", "", false}},
        {"cut to 50 bytes", fifty + "yz", WriteResult::Done, false, fifty,
         WriteReport{"The machine took the name \"" + fifty + "\".", false, "", "", false}},
        {"refused: the old name comes back", "Line 3", WriteResult::Refused, false, "Old",
         WriteReport{"", false,
                     "Can't Set Nickname !\n\nThe machine refused it: the machine keeps the name "
                     "\"Old\".",
                     "ERROR !", true}},
        {"unanswered after another rename: the newer name stays", "Line 3", WriteResult::NoAnswer,
         true, "Other",
         WriteReport{"", false,
                     "Can't Set Nickname !\n\nThe machine did not answer: the machine keeps the "
                     "name \"Old\".",
                     "ERROR !", false}},
    };
    const LocalTime now{};
    for (const Case& c : cases) {
        MachineInfo info = machine(1);
        copyField(info.nickName, sizeof info.nickName, "Old");
        Window w(info);
        w.model.startNickname(c.typed);
        if (c.renamedMeanwhile)
            copyField(w.info.nickName, sizeof w.info.nickName, "Other");
        EXPECT_EQ(w.model.onWriteResult({MachineWrite::Nickname, c.result, 0}, now), c.report)
            << c.what;
        EXPECT_EQ(fieldText(w.info.nickName, sizeof w.info.nickName), c.shownAfter) << c.what;
    }
}

TEST(MachineWindowModel, WhatTheWindowSaysOnceSilentOrUnplugged) {
    EXPECT_EQ(MachineWindowModel::silenceText({2026, 12, 11, 7, 8, 9, 0, 5}),
              "This machine has not answered since 07:08:09. Nothing is sent to it, and what is "
              "asked of it is refused, until it answers again.");
    struct Case {
        const char* what;
        bool unplugged, lost;
        const char* title;
        const char* notice; // how the notice starts
    };
    const Case cases[] = {
        {"live", false, false, "UB-16 [M-0042] - Monitor", nullptr},
        {"unplugged", true, false, "Unplugged - UB-16 [M-0042] - Monitor",
         "This machine was unplugged: M-0042. The window shows its last state. Plug it in"},
        {"taking no reports", true, true, "Not answering - UB-16 [M-0042] - Monitor",
         "This machine stopped taking the program's commands: M-0042. The window shows its last "
         "state. Switch the machine off and on"},
    };
    for (const Case& c : cases) {
        Window w(machine(1));
        if (c.unplugged) {
            EXPECT_TRUE(w.model.unplug(c.lost)) << c.what;
            EXPECT_FALSE(w.model.unplug(!c.lost)) << c.what << ": once only";
        }
        EXPECT_EQ(w.model.lost(), c.lost) << c.what;
        EXPECT_EQ(w.model.windowCaption("Monitor"), c.title) << c.what;
        if (c.notice) {
            EXPECT_EQ(w.model.unpluggedText("M-0042").rfind(c.notice, 0), 0u)
                << c.what << ": " << w.model.unpluggedText("M-0042");
        }
    }
}
