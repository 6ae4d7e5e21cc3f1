// The command lines of the three programs: duplicator-monitor's and
// dupmon-sim's option readers, and dupmon-logtool run whole on a few files of
// a scratch folder. Input: the first byte picks the program, the rest are
// arguments separated by NUL bytes. "@0".."@5" stand for the scratch files
// (a good database, one of another title, a missing file, a folder, a sealed
// report, a report to write); any other argument loses its "/" so the tool
// can reach nothing outside the scratch folder, its working folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "answer_feed.h"
#include "app/monitor_options.h"
#include "common/byte_order.h"
#include "common/clock.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"
#include "logdb/logtool.h"
#include "sim/sim_options.h"

using namespace dupmon;
using namespace dupmon::fuzz;
namespace fs = std::filesystem;

namespace {

const char* const kFiles[] = {"good.QX42.LOGDATA",    "title.QX42.LOGDATA",
                              "missing.QX42.LOGDATA", "folder",
                              "sealed.txt",           "out.txt"};

fs::path scratch;
void tidy();

// The scratch folder with its files, made once.
void prepare(const ManualClock& clock) {
    if (!scratch.empty())
        return;
    char tmpl[] = "/tmp/dupmon-fuzz-cli-XXXXXX";
    scratch = ::mkdtemp(tmpl);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(scratch, ec);
    });
    const fs::path dir = scratch;
    auto at = [&](const char* name) { return (dir / name).string(); };
    MachineInfo info{};
    std::snprintf(info.machineId, sizeof info.machineId, "good");
    LogStore store;
    check(store.open(at(kFiles[0]), info, dir).result == PASS);
    for (uint32_t n = 0; n < 3; ++n) {
        uint8_t record[128] = {};
        writeBE32(record, n);
        record[4] = 26, record[5] = 3, record[6] = uint8_t(14 + n); // 2026-03-14..16
        check(store.append(record, sizeof record, info).stored);
    }
    store.close();
    std::ofstream(at(kFiles[1])) << std::string(640, 'Z');
    fs::create_directory(at(kFiles[3]));
    std::ostringstream out, err;
    check(runLogTool({"report", at(kFiles[0]), "--from", "2026-03-01", "--to", "2026-03-31",
                      "--out", at(kFiles[4])},
                     out, err, clock) == 0);
    tidy();
}

// Leaves only the scratch files, so no run sees what another wrote.
void tidy() {
    static const std::set<std::string> keep(std::begin(kFiles), std::end(kFiles));
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(scratch, ec))
        if (!keep.count(e.path().filename().string()))
            fs::remove_all(e.path(), ec);
    fs::remove(scratch / kFiles[5], ec);
}

std::vector<std::string> arguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string a;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0) {
            a.push_back(char(data[i]) == '/' ? '_' : char(data[i]));
            continue;
        }
        if (a.size() == 2 && a[0] == '@' && a[1] >= '0' && a[1] <= '5')
            a = kFiles[a[1] - '0'];
        else if (a == "..")
            a = "_";
        args.push_back(a);
        a.clear();
    }
    return args;
}

bool endsLine(const std::string& s) {
    return !s.empty() && s.back() == '\n';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ManualClock clock;
    prepare(clock);
    if (size < 1)
        return 0;
    const std::vector<std::string> args = arguments(data + 1, size - 1);
    std::string error;
    switch (data[0] % 3) {
    case 0: {
        MonitorOptions o;
        const OptionsAction a = parseMonitorOptions(args, o, error);
        check((a == OptionsAction::Error) == !error.empty());
        if (a == OptionsAction::Run)
            check(!(o.demo && !o.simulator.empty()));
        break;
    }
    case 1: {
        SimOptions o;
        const SimAction a = parseSimOptions(args, o, error);
        check((a == SimAction::Error) == !error.empty());
        if (a == SimAction::Serve || a == SimAction::Control)
            check(!o.socket.empty() && o.wireMs >= -1 && o.wireMs <= 60000);
        if (a == SimAction::Control)
            check(!o.request.empty());
        break;
    }
    default: {
        std::vector<std::string> inScratch = args;
        for (size_t i = 1; i < inScratch.size(); ++i)
            if (i == 1 || args[i - 1] == "--out")
                inScratch[i] = (scratch / args[i]).string();
        std::ostringstream out, err;
        const int rc = runLogTool(inScratch, out, err, clock);
        // Every line the tool prints is ended; a failure says why on standard error.
        check(rc == 0 || rc == 1 || rc == 2);
        check(out.str().empty() || endsLine(out.str()));
        check(err.str().empty() || endsLine(err.str()));
        if (rc != 0)
            check(err.str().rfind("dupmon-logtool: ", 0) == 0);
        tidy();
        break;
    }
    }
    return 0;
}
