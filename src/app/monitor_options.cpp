#include "app/monitor_options.h"

#include "common/command_line.h"

namespace dupmon {

OptionsAction parseMonitorOptions(const std::vector<std::string>& args, MonitorOptions& o,
                                  std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h")
            return OptionsAction::Help;
        if (a == "--version")
            return OptionsAction::Version;
        if (a == "--demo") {
            o.demo = true;
        } else if (a == "--headless") {
            o.headless = true;
        } else if (isOption(a, "--simulator")) {
            if (!takeOptionValue(args, i, "--simulator", "the socket of a running dupmon-sim",
                                 o.simulator, error))
                return OptionsAction::Error;
        } else if (isOption(a, "--workdir")) {
            if (!takeOptionValue(args, i, "--workdir", "the folder for the program's files",
                                 o.workDir, error))
                return OptionsAction::Error;
        } else {
            error = "unknown option " + a;
            return OptionsAction::Error;
        }
    }
    if (o.demo && !o.simulator.empty()) {
        error = "--demo and --simulator exclude each other";
        return OptionsAction::Error;
    }
    return OptionsAction::Run;
}

void printMonitorUsage(FILE* out) {
    std::fputs(
        "usage: duplicator-monitor [--demo | --simulator SOCKET] [--headless] "
        "[--workdir DIR]\n"
        "Watches the duplicators on the USB bus, keeps their job logs and shows them\n"
        "on a board of machine pictures. All files live in the working folder.\n"
        "\n"
        "  --demo              run with stand-in machines inside the program\n"
        "  --simulator SOCKET  attach to the stand-in machines of a running dupmon-sim\n"
        "  --headless          no windows: sync every machine's job log, one line per event\n"
        "  --workdir DIR       keep the program's files in DIR (default: the current folder)\n"
        "  --help              print this help and exit\n"
        "  --version           print the program's version and exit\n",
        out);
}

} // namespace dupmon
