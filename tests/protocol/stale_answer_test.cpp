// A new session on a controller that still answers the last one: the monitor
// was killed in the middle of a sync, and the answers it was waiting for are
// still in flight or waiting unread when the next session starts. The new
// session must identify the machine by its own answers and go on with the log
// where the database stands.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "hidlink/usbhidioc.h"
#include "protocol/command_machine.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"
#include "support/test_ui.h"

using namespace dupmon;

namespace {

using Record = std::vector<uint8_t>;

// The local log database all sessions share.
struct Database {
    std::vector<Record> records;
};

// One run of the monitor: a link and an engine, stepped every 1 ms, the link
// read every 10 ms while an answer is awaited.
struct Session {
    Session(VirtualBus& bus, const Clock& clock, Database& db, const std::string& path)
        : link(bus), engine(&info, clock, ui), db(db) {
        link.openByPath(path, CUsbhidioc::kVendorId, 0x2001);
        engine.bind(&CUsbhidioc::takeFrameCallback, &link, &CUsbhidioc::sendFrameCallback, &link,
                    &Session::onLog, this, nullptr, nullptr, &Session::onEvent, this);
        engine.setLogRecordCallback(&Session::onRecord, this);
    }
    void step(uint32_t tick) {
        if (tick % 10 == 0 && (link.awaitingReply() || engine.awaitingAnswer()))
            link.pollInput();
        engine.step();
    }
    static void onLog(void* u, const char* text) {
        static_cast<Session*>(u)->logs.emplace_back(text);
    }
    static void onEvent(void* u, int code, int, const void*) {
        auto* s = static_cast<Session*>(u);
        if (code != EVENT_IDENTIFIED)
            return;
        ++s->identifications;
        // What the connection does at identification: the database tells where it stands.
        s->engine.setStoredRecords(!s->db.records.empty());
        if (!s->db.records.empty())
            s->info.lastStoredLogNo = int32_t(readBE32(s->db.records.back().data()));
    }
    static void onRecord(void* u, int length, const uint8_t* record) {
        auto* s = static_cast<Session*>(u);
        s->db.records.emplace_back(record, record + length);
        s->info.lastStoredLogNo = int32_t(readBE32(record));
        s->engine.setStoredRecords(true);
    }

    TestUi ui;
    CUsbhidioc link;
    MachineInfo info{};
    COMMAND_MACHINE engine;
    Database& db;
    std::vector<std::string> logs;
    int identifications = 0;
};

struct Bench {
    ManualClock clock;
    VirtualBus bus{clock};
    std::shared_ptr<StandInController> machine = StandInController::create("usb10", clock);
    std::string path;
    Database db;
    std::unique_ptr<Session> session;
    uint32_t tick = 0;

    Bench() {
        machine->machine().preloadLog(400);
        machine->machine().setLogFirstNo(7000);
        path = bus.plug(machine, CUsbhidioc::kVendorId, 0x2001);
    }
    void start() { session = std::make_unique<Session>(bus, clock, db, path); }
    // The monitor dies: nothing of it reads or writes any more.
    void kill() { session.reset(); }
    void run(uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            clock.advance(1);
            bus.pump();
            if (session)
                session->step(++tick);
        }
    }
    template <class F> bool runUntil(F done, uint32_t limitMs) {
        for (uint32_t i = 0; i < limitMs && !done(); ++i)
            run(1);
        return done();
    }
    // Runs until the session has sent a log record request whose answer has not come.
    bool untilARecordIsAsked(uint32_t limitMs = 60000) {
        const size_t before = machine->logNumbersAsked().size();
        return runUntil([&] { return machine->logNumbersAsked().size() > before; }, limitMs);
    }
};

std::vector<Record> machineLog(const MachineModel& m) {
    std::vector<Record> out;
    for (uint32_t k = 0; k < m.logCount(); ++k) {
        Record r(MachineModel::kLogRecordSize);
        m.logRecord(m.logFirstNo() + k, r.data());
        out.push_back(std::move(r));
    }
    return out;
}

} // namespace

TEST(StaleAnswers, ANewSessionIdentifiesTheMachineByItsOwnAnswers) {
    // How the old session's answers meet the new one.
    struct Case {
        const char* name;
        uint32_t answerDelayMs;  // the controller's time to answer, while the session dies
        uint32_t restartAfterMs; // from the kill to the new session's bind
    } cases[] = {
        // The answer to the killed session's record request waits unread.
        {"answer waiting unread", 0, 300},
        // It arrives after the new session has asked who the machine is.
        {"answer arriving after the first command", 2600, 10},
        // Every answer is slow: the first ones of the new session cross the old ones.
        {"slow controller", 900, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.start();
        ASSERT_TRUE(b.runUntil([&] { return b.db.records.size() >= 30; }, 60000));
        b.machine->setAnswerDelay(c.answerDelayMs);
        for (int restart = 0; restart < 3; ++restart) {
            ASSERT_TRUE(b.untilARecordIsAsked());
            b.kill();
            b.run(c.restartAfterMs);
            b.start();
            ASSERT_TRUE(b.runUntil([&] { return b.session->identifications > 0; }, 120000))
                << "restart " << restart;
            const MachineInfo& m = b.session->info;
            EXPECT_EQ(std::string(m.machineId), b.machine->machine().machineId);
            EXPECT_EQ(std::string(m.modelName), b.machine->profile().modelName);
            EXPECT_EQ(m.boardQty, b.machine->profile().boardQty);
            EXPECT_EQ(m.maxDeviceQty, b.machine->profile().ports);
            EXPECT_EQ(b.session->identifications, 1);
            // Some records of this session before the next kill.
            const size_t have = b.db.records.size();
            ASSERT_TRUE(b.runUntil([&] { return b.db.records.size() >= have + 20; }, 120000));
        }
        b.machine->setAnswerDelay(0);
        ASSERT_TRUE(b.runUntil([&] { return b.db.records.size() >= 400; }, 300000))
            << b.db.records.size();
        b.run(2000);
        EXPECT_TRUE(b.db.records == machineLog(b.machine->machine()))
            << "every record exactly once, in order: " << b.db.records.size();
    }
}
