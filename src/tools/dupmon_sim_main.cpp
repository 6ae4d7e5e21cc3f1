// dupmon-sim: stand-in duplicators in their own process, served over a local
// socket, and a control mode to drive a running simulator by hand.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/sim_client.h"
#include "sim/sim_options.h"
#include "sim/sim_profiles.h"
#include "sim/sim_server.h"

using namespace dupmon;

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

} // namespace

int main(int argc, char** argv) {
    SimOptions o;
    std::string error;
    switch (parseSimOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    case SimAction::Help:
        printSimUsage(stdout);
        return 0;
    case SimAction::Error:
        std::fprintf(stderr, "dupmon-sim: %s\n", error.c_str());
        std::fprintf(stderr, "Try 'dupmon-sim --help' for the options.\n");
        return 2;
    case SimAction::Profiles:
        for (const auto& p : simProfiles())
            std::printf("%-10s %-18s %s deviceType %u machineType %u, %u ports%s%s\n",
                        p.name.c_str(), p.modelName.c_str(), p.version.c_str(), p.deviceType,
                        p.machineType, p.ports, p.wideLayout() ? "" : ", narrow layout",
                        p.jobLog ? "" : ", no job log");
        return 0;
    case SimAction::Control: {
        std::string line;
        for (const auto& word : o.request)
            line += (line.empty() ? "" : " ") + word;
        SimClientBackend client(o.socket);
        if (!client.connect()) {
            std::fprintf(stderr, "dupmon-sim: no simulator answers on %s\n", o.socket.c_str());
            return 1;
        }
        const std::string reply = client.control(line);
        std::printf("%s\n", reply.c_str());
        return reply.rfind("ok", 0) == 0 ? 0 : 1;
    }
    case SimAction::Serve:
        break;
    }

    SimServer server(SystemClock::instance());
    if (!server.listen(o.socket, error)) {
        std::fprintf(stderr, "dupmon-sim: cannot listen on %s: %s\n", o.socket.c_str(),
                     error.c_str());
        return 1;
    }
    if (o.wireMs >= 0)
        server.bus().setWireTime(static_cast<uint32_t>(o.wireMs));
    if (!o.traceDir.empty() && !server.setTraceFolder(o.traceDir, error)) {
        std::fprintf(stderr, "dupmon-sim: --trace-dir %s\n", error.c_str());
        return 1;
    }
    if (!o.trace.empty() && !server.traceTo(o.trace, error)) {
        std::fprintf(stderr, "dupmon-sim: --trace %s\n", error.c_str());
        return 1;
    }
    for (std::string p : o.plugs) {
        for (char& c : p)
            if (c == ',')
                c = ' ';
        const std::string r = server.control("plug " + p);
        std::fprintf(stderr, "dupmon-sim: plug %s: %s\n", p.c_str(), r.c_str());
        if (r.rfind("ok", 0) != 0)
            return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    server.setStopFlag(&gStop);
    server.run();
    return 0;
}
