// dupmon-sim: stand-in duplicators in their own process, served over a local
// socket, and a control mode to drive a running simulator by hand.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/sim_client.h"
#include "sim/sim_profiles.h"
#include "sim/sim_server.h"

using namespace dupmon;

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

void usage() {
    std::fputs("usage:\n"
               "  dupmon-sim --socket PATH [--wire MS] [--plug PROFILE[,option=value...]]...\n"
               "             [--trace FILE]\n"
               "      run stand-in duplicators and serve them on the local socket PATH\n"
               "  dupmon-sim --socket PATH ctl REQUEST...\n"
               "      send one request to a running simulator and print its reply, e.g.\n"
               "      ctl plug usb10 logs=500, ctl list, ctl unplug SU10-000001,\n"
               "      ctl media SU10-000001 3 insert mb=4096 bad, ctl job SU10-000001 copy,\n"
               "      ctl fault SU10-000001 wrong-check times=2 cmd=B, ctl status SU10-000001\n"
               "  dupmon-sim --profiles\n",
               stderr);
}

} // namespace

int main(int argc, char** argv) {
    std::string socketPath, tracePath;
    std::vector<std::string> plugs;
    long wireMs = -1;
    bool ctlMode = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (a == "--wire" && i + 1 < argc) {
            wireMs = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--plug" && i + 1 < argc) {
            plugs.emplace_back(argv[++i]);
        } else if (a == "--trace" && i + 1 < argc) {
            tracePath = argv[++i];
        } else if (a == "--profiles") {
            for (const auto& p : simProfiles())
                std::printf("%-10s %-18s %s deviceType %u machineType %u, %u ports%s%s\n",
                            p.name.c_str(), p.modelName.c_str(), p.version.c_str(), p.deviceType,
                            p.machineType, p.ports, p.wideLayout() ? "" : ", narrow layout",
                            p.jobLog ? "" : ", no job log");
            return 0;
        } else if (a == "ctl") {
            ctlMode = true;
            ++i;
            break;
        } else {
            usage();
            return 2;
        }
    }
    if (socketPath.empty()) {
        usage();
        return 2;
    }

    if (ctlMode) {
        std::string line;
        for (; i < argc; ++i) {
            if (!line.empty())
                line += ' ';
            line += argv[i];
        }
        if (line.empty()) {
            usage();
            return 2;
        }
        SimClientBackend client(socketPath);
        if (!client.connect()) {
            std::fprintf(stderr, "dupmon-sim: no simulator answers on %s\n", socketPath.c_str());
            return 1;
        }
        const std::string reply = client.control(line);
        std::printf("%s\n", reply.c_str());
        return reply.rfind("ok", 0) == 0 ? 0 : 1;
    }

    SimServer server(SystemClock::instance());
    std::string error;
    if (!server.listen(socketPath, error)) {
        std::fprintf(stderr, "dupmon-sim: cannot listen on %s: %s\n", socketPath.c_str(),
                     error.c_str());
        return 1;
    }
    if (wireMs >= 0)
        server.bus().setWireTime(static_cast<uint32_t>(wireMs));
    if (!tracePath.empty()) {
        const std::string r = server.control("trace " + tracePath);
        if (r != "ok")
            std::fprintf(stderr, "dupmon-sim: %s\n", r.c_str());
    }
    for (std::string p : plugs) {
        for (char& c : p)
            if (c == ',')
                c = ' ';
        const std::string r = server.control("plug " + p);
        std::fprintf(stderr, "dupmon-sim: plug %s: %s\n", p.c_str(), r.c_str());
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    server.setStopFlag(&gStop);
    server.run();
    return 0;
}
