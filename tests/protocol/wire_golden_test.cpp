// One scripted session per stand-in profile, recorded frame by frame on the
// virtual bus and compared with a stored trace: identification, the clock,
// the job log, port fetches, every request a window or the download flow can
// make, and a few faults. Any change in what goes over the wire, when it goes,
// or what the engine logs and hands up shows as a difference.
// DUPMON_UPDATE_GOLDEN=1 writes the stored traces anew.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/text.h"
#include "protocol/checksum.h"
#include "sim/sim_profiles.h"
#include "sim/stand_in.h"
#include "support/engine_harness.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// Long frames (port data, device information) keep their first bytes and a
// CRC-32 of the whole line, so the stored traces stay small yet exact.
constexpr size_t kShownBytes = 24;

std::string condense(const std::string& line) {
    std::istringstream words(line);
    std::string ms, kind;
    words >> ms >> kind;
    if (kind != "H" && kind != "C")
        return line;
    const size_t bytes = (line.size() - ms.size() - kind.size() - 1) / 3;
    if (bytes <= kShownBytes)
        return line;
    const size_t head = ms.size() + 1 + kind.size() + 3 * kShownBytes;
    return line.substr(0, head) +
           format(" .. %zu bytes crc %08X", bytes,
                  crc32(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
}

// The session's driver: the harness's stepping, with the engine's log lines,
// events and hand-ups written into the trace as comment lines where they
// happen.
class Session {
public:
    explicit Session(const SimProfile& p) : profile(p) {
        // Every run of the program starts with it, whatever ran before in this process.
        COMMAND_MACHINE::setGlobalRefreshMark();
        h.bus.setWireTime(1);
        h.bus.setTrace(&raw);
        h.ui.onProcessEvents = [this] { advance(1); };
        h.onStatusHook = [this](const EngineHarness::Status& st) { noteStatus(st); };
        standIn = StandInController::create(p.name, h.clock);
        MachineModel& m = standIn->machine();
        m.speed = 400; // a job of a few bus seconds
        m.setLogFirstNo(4000);
        m.preloadLog(5);
    }

    void advance(uint32_t limit) {
        h.advance(limit);
        flush();
    }
    void run(uint32_t ms) {
        for (uint32_t spent = 0; spent < ms;) {
            const uint32_t before = h.tick;
            advance(ms - spent);
            spent += h.tick - before;
        }
    }
    template <class F> bool runUntil(F done, uint32_t limitMs) {
        const uint32_t start = h.tick;
        while (!done()) {
            if (h.tick - start >= limitMs)
                return false;
            advance(limitMs - (h.tick - start));
        }
        return true;
    }
    void mark(const std::string& what) {
        flush();
        h.bus.traceEvent(what);
    }
    void request(const std::string& name) { mark("request " + name); }

    // Runs a job the engine was just asked for, answering the machine's
    // continue-or-finish question with Continue `continues` times, then Finish.
    void runJob(int continues) {
        MachineModel& m = standIn->machine();
        const bool started =
            runUntil([&] { return m.state() != FN_STANDBY; }, 3000); // refused jobs never start
        if (!started)
            return;
        while (m.state() != FN_STANDBY) {
            ASSERT_TRUE(
                runUntil([&] { return m.state() == FN_STANDBY || m.waitingForAnswer(); }, 120000))
                << profile.name << ": the job does not end";
            if (m.state() == FN_STANDBY)
                break;
            if (continues-- > 0) {
                request("continue");
                h.engine.answerContinue();
            } else {
                request("finish");
                h.engine.answerFinish();
            }
            ASSERT_TRUE(runUntil([&] { return !m.waitingForAnswer(); }, 20000));
        }
        run(500);
    }

    std::string text() {
        flush();
        std::istringstream in(raw.str());
        std::string out, line;
        while (std::getline(in, line))
            out += condense(line) + '\n';
        return out;
    }

    const SimProfile& profile;
    EngineHarness h;
    std::shared_ptr<StandInController> standIn;

private:
    void noteStatus(const EngineHarness::Status& st) {
        if (st.code == STATUS_MACHINE)
            return; // the status answer itself is in the trace
        if (!st.records.empty()) {
            pending_.push_back(format("# status %d kind %d first %d count %d crc %08X", st.code,
                                      st.block.kind, st.block.firstIndex, st.block.count,
                                      crc32(st.records.data(), st.records.size())));
        } else if (st.code == STATUS_WRITE_RESULT) {
            const auto* w = static_cast<const WriteOutcome*>(st.data);
            pending_.push_back(format("# status %d write %d result %d answer %02X", st.code,
                                      int(w->what), int(w->result), w->answer));
        } else if (st.code == STATUS_DEVICE_INFO) {
            const auto* b = static_cast<const DeviceInfoBlock*>(st.data);
            pending_.push_back(
                format("# status %d size %u crc %08X", st.code, b->size, crc32(b->data, b->size)));
        } else {
            pending_.push_back(format("# status %d", st.code));
        }
    }
    void flush() {
        for (; logsSeen_ < h.logs.size(); ++logsSeen_) {
            std::string text = h.logs[logsSeen_];
            for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
                text.replace(at, 1, "\\n");
            raw << "# log " << text << '\n';
        }
        for (; eventsSeen_ < h.events.size(); ++eventsSeen_)
            raw << "# event " << h.events[eventsSeen_] << '\n';
        for (; recordsSeen_ < h.records.size(); ++recordsSeen_)
            raw << "# record " << readBE32(h.records[recordsSeen_].data()) << '\n';
        for (const auto& s : pending_)
            raw << s << '\n';
        pending_.clear();
    }

    std::ostringstream raw;
    std::vector<std::string> pending_;
    size_t logsSeen_ = 0, eventsSeen_ = 0, recordsSeen_ = 0;
};

void runScript(Session& s) {
    EngineHarness& h = s.h;
    MachineModel& m = s.standIn->machine();
    const std::string& name = s.profile.name;

    // Identification, then the clock and the job log.
    s.mark("plug");
    h.plug(s.standIn, s.profile.productId);
    ASSERT_TRUE(s.runUntil([&] { return h.identified(); }, 20000)) << name;
    s.request("set-clock");
    h.engine.setMachineClock();
    s.run(300);
    const size_t logged = s.profile.jobLog ? 5 : 0;
    ASSERT_TRUE(s.runUntil([&] { return h.records.size() >= logged; }, 20000)) << name;
    s.run(500);

    // The window opens on an idle machine and asks for its ports.
    s.mark("window-open");
    h.engine.windowOpened();
    h.engine.refreshPortData();
    s.run(500);

    // Every job kind from the window, with port fetches while it runs.
    s.request("copy");
    h.engine.requestCopy();
    s.runJob(1);
    s.request("compare");
    h.engine.requestCompare();
    s.runJob(0);
    s.request("copy-compare");
    h.engine.requestCopyCompare();
    s.runJob(0);
    s.request("copy-write-protect");
    h.engine.requestCopyWriteProtect();
    s.runJob(0);
    s.request("copy-compare-write-protect");
    h.engine.requestCopyCompareWriteProtect();
    s.runJob(0);

    // A job started at the machine's own panel, slow enough for a refresh in its middle.
    m.speed = 10;
    ASSERT_EQ(m.startJob(FN_QUICK_ERASE, h.clock.tickMs()), JOB_STARTED) << name;
    s.run(200);
    s.request("refresh");
    h.engine.refreshPortData();
    ASSERT_TRUE(s.runUntil([&] { return m.state() == FN_STANDBY; }, 60000)) << name;
    m.speed = 400;
    s.run(500);

    // The settings.
    s.request("nickname");
    h.engine.setNickname("Golden line 3");
    s.run(300);
    s.request("get-clock");
    char clock[14] = {};
    const bool clockRead = h.engine.getMachineClock(clock);
    s.mark(format("clock-read %d %.14s", clockRead, clockRead ? clock : ""));
    s.request("get-setup");
    uint8_t setup[256] = {};
    const bool setupRead = h.engine.getSetupParameters(setup);
    s.mark(format("setup-read %d crc %08X", setupRead, crc32(setup, sizeof setup)));
    setup[7] ^= 0x01;
    s.request("set-setup");
    s.mark(format("posted %d", h.engine.setSetupParameters(setup)));
    s.run(500);
    s.request("image-bank");
    h.engine.requestImageBank();
    s.run(500);

    // Device information, its release, and the ports it found repeated.
    s.request("device-info");
    h.engine.requestDeviceInfo();
    s.runUntil([&] { return h.count(STATUS_DEVICE_INFO) + h.count(STATUS_DEVICE_INFO_FAILED); },
               70000);
    s.request("release");
    h.engine.requestRelease();
    s.run(500);
    s.request("mark-ports");
    h.engine.portList()[0] = 2;
    h.engine.portList()[1] = uint16_t(s.profile.ports - 1);
    s.mark(format("posted %d", h.engine.markPorts(2)));
    s.run(500);

    // The master stick to the PC and back.
    s.request("master-take");
    const uint8_t identity[4] = {0x12, 0x34, 0x56, 0x78};
    int take = -1;
    const bool taken = h.engine.takeMasterUsbToPc(identity, &take);
    s.mark(format("master-take %d result %d", taken, take));
    s.request("master-return");
    s.mark(format("master-return %d", h.engine.returnMasterUsbToDuplicator()));
    s.run(500);

    // Faults: a refused command, a dropped answer that times out and is sent
    // again, and a log record with a wrong check.
    s.request("copy refused");
    s.standIn->injectFault({SimFault::Refuse, 1, 0, 'W', 42, 0});
    h.engine.requestCopy();
    s.run(1000);
    s.request("set-clock dropped");
    s.standIn->injectFault({SimFault::DropAnswer, 1, 0, 'W', 12, 0});
    h.engine.setMachineClock();
    s.runUntil([&] { return s.standIn->faultsPending() == 0; }, 1000);
    s.run(13000);
    s.mark("status dropped");
    s.standIn->injectFault({SimFault::DropAnswer, 1, 0, 'B', -1, 0});
    s.run(13000);
    s.mark("log record wrong check");
    s.standIn->injectFault({SimFault::WrongCheck, 1, 0, 'W', 23, 0});
    m.preloadLog(2);
    s.run(3000);
}

fs::path goldenPath(const std::string& profile) {
    const char* data = std::getenv("DUPMON_TEST_DATA");
    return fs::path(data ? data : "tests/data") / "wire_golden" / (profile + ".trace");
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class WireGolden : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(WireGolden, TheScriptedSessionGoesOverTheWireAsStored) {
    const SimProfile* p = findSimProfile(GetParam());
    ASSERT_NE(p, nullptr);
    Session s(*p);
    runScript(s);
    const std::string trace = s.text();
    const fs::path golden = goldenPath(p->name);
    const char* update = std::getenv("DUPMON_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        fs::create_directories(golden.parent_path());
        std::ofstream(golden, std::ios::binary) << trace;
        GTEST_SKIP() << "wrote " << golden;
    }
    ASSERT_TRUE(fs::exists(golden)) << golden << " is missing (DUPMON_UPDATE_GOLDEN=1 writes it)";
    const std::string want = readFile(golden);
    if (trace == want)
        return;
    // Name the first line that differs: the whole traces are long.
    std::istringstream a(want), b(trace);
    std::string la, lb;
    for (int line = 1;; ++line) {
        const bool ha = bool(std::getline(a, la)), hb = bool(std::getline(b, lb));
        if (!ha && !hb)
            break;
        if (!ha || !hb || la != lb) {
            ADD_FAILURE() << golden << " line " << line << "\n  stored: " << (ha ? la : "<end>")
                          << "\n  now:    " << (hb ? lb : "<end>");
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryProfile, WireGolden, ::testing::ValuesIn([] {
                             std::vector<std::string> names;
                             for (const auto& p : simProfiles())
                                 names.push_back(p.name);
                             return names;
                         }()),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });
