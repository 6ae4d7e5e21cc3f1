#include "app/monitor_options.h"

namespace dupmon {

namespace {

// "--name VALUE" or "--name=VALUE"; false with `error` set when the value is missing.
bool takeValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
               const char* what, std::string& value, std::string& error) {
    const std::string& a = args[i];
    if (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0)
        value = a.substr(name.size() + 1);
    else if (i + 1 < args.size() && args[i + 1].compare(0, 2, "--") != 0)
        value = args[++i]; // a value that looks like an option is the next option
    else
        value.clear();
    if (value.empty()) {
        error = "option " + name + " needs a value: " + what;
        return false;
    }
    return true;
}

bool named(const std::string& arg, const char* name) {
    const std::string n(name);
    return arg == n || arg.compare(0, n.size() + 1, n + "=") == 0;
}

} // namespace

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
        } else if (named(a, "--simulator")) {
            if (!takeValue(args, i, "--simulator", "the socket of a running dupmon-sim",
                           o.simulator, error))
                return OptionsAction::Error;
        } else if (named(a, "--workdir")) {
            if (!takeValue(args, i, "--workdir", "the folder for the program's files", o.workDir,
                           error))
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
