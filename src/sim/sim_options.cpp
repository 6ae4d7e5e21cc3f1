// Reading dupmon-sim's command line, and the help text it prints.
#include "sim/sim_options.h"

#include "common/command_line.h"

#include <charconv>

namespace dupmon {

SimAction parseSimOptions(const std::vector<std::string>& args, SimOptions& o, std::string& error) {
    bool profiles = false;
    bool control = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string value;
        if (a == "--help" || a == "-h")
            return SimAction::Help;
        if (a == "--profiles") {
            profiles = true;
        } else if (a == "ctl") {
            control = true;
            o.request.assign(args.begin() + long(i) + 1, args.end());
            break;
        } else if (isOption(a, "--socket")) {
            if (!takeOptionValue(args, i, "--socket", "the path of the local socket", o.socket,
                                 error))
                return SimAction::Error;
        } else if (isOption(a, "--plug")) {
            if (!takeOptionValue(args, i, "--plug", "a profile, e.g. usb10,logs=500", value, error))
                return SimAction::Error;
            o.plugs.push_back(value);
        } else if (isOption(a, "--trace")) {
            if (!takeOptionValue(args, i, "--trace", "the file to trace into", o.trace, error))
                return SimAction::Error;
        } else if (isOption(a, "--trace-dir")) {
            if (!takeOptionValue(args, i, "--trace-dir", "the folder for traces", o.traceDir,
                                 error))
                return SimAction::Error;
        } else if (isOption(a, "--wire")) {
            if (!takeOptionValue(args, i, "--wire", "milliseconds per report", value, error))
                return SimAction::Error;
            long ms = -1;
            const auto r = std::from_chars(value.data(), value.data() + value.size(), ms);
            if (r.ec != std::errc() || r.ptr != value.data() + value.size() || ms < 0 ||
                ms > 60000) {
                error =
                    "option --wire: '" + value + "' is not a number of milliseconds (0 to 60000)";
                return SimAction::Error;
            }
            o.wireMs = ms;
        } else {
            error = "unknown option " + a;
            return SimAction::Error;
        }
    }
    if (profiles)
        return SimAction::Profiles;
    if (o.socket.empty()) {
        error = "--socket PATH is needed: the local socket to serve or to drive";
        return SimAction::Error;
    }
    if (control) {
        if (o.request.empty()) {
            error = "ctl needs a request, e.g. ctl list";
            return SimAction::Error;
        }
        return SimAction::Control;
    }
    return SimAction::Serve;
}

void printSimUsage(FILE* out) {
    std::fputs(
        "usage: dupmon-sim --socket PATH [OPTION]...   serve stand-in duplicators\n"
        "       dupmon-sim --socket PATH ctl REQUEST... drive a running simulator\n"
        "       dupmon-sim --profiles                   list the machine profiles\n"
        "Runs stand-in duplicator controllers and serves them on a local socket, for\n"
        "duplicator-monitor --simulator PATH.\n"
        "\n"
        "  --socket PATH        the local socket to serve (only this user may use it) or drive\n"
        "  --plug PROFILE[,option=value...]  plug a stand-in at start (e.g. usb10,logs=500,\n"
        "                       failrate=3:0.25); the options are those of ctl plug\n"
        "  --wire MS            time one report takes on the wire (default 1)\n"
        "  --trace FILE         write every frame of the wire to FILE from the start\n"
        "  --trace-dir DIR      let the request trace NAME write a trace to DIR/NAME\n"
        "  --profiles           list the machine profiles and exit\n"
        "  --help               print this help and exit\n"
        "\n"
        "Requests after ctl (a machine is its device path or machine id):\n"
        "  list | profiles | plug PROFILE [id=ID] [logs=N] [first=N] [boards=N] [speed=X]\n"
        "       [failrate=PORT:RATE]\n"
        "  unplug M | media M PORT insert [mb=N] [bad] | media M PORT remove\n"
        "  failrate M PORT RATE   every job on PORT fails with probability RATE (0 to 1),\n"
        "                         at a varying sector: a worn socket\n"
        "  job M FUNCTION | continue M | finish M | status M | speed M X | log M N [first=N]\n"
        "  setup M | devinfo M   (the setup block the host wrote; device-info state)\n"
        "  masters | master M format-ms=MS   (master sticks at the PC; a slow format)\n"
        "  fault M KIND [times=N] [delay=MS] [cmd=LETTER] [sub=N] | wire MS\n"
        "      KIND: wrong-check wrong-length wrong-start drop late garbage unplug\n"
        "      setup-check-error devinfo-short, or refuse (the command is refused)\n"
        "      and refuse-data (the data frame after it is refused), e.g.\n"
        "      fault M refuse cmd=W sub=30   refuse the setup read (12 clock write,\n"
        "      5 nickname write, 31 setup write, 61 device information)\n"
        "  fault M stall [after=N] [delay=MS]   (M takes N more reports of the host, then\n"
        "                       none, for MS milliseconds or until it is unplugged)\n"
        "  trace NAME | trace off | quit\n",
        out);
}

} // namespace dupmon
