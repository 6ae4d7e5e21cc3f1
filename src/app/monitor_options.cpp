// duplicator-monitor's command line, its usage text, and the checks made
// before start: the per-user data folder, --workdir's folder and a display to
// open windows on.
#include "app/monitor_options.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/command_line.h"
#include "common/file_io.h"

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
        } else if (a == "--user-data") {
            o.userData = true;
        } else if (isOption(a, "--simulator")) {
            if (!takeOptionValue(args, i, "--simulator", "the socket of a running dupmon-sim",
                                 o.simulator, error))
                return OptionsAction::Error;
        } else if (isOption(a, "--export")) {
            if (!takeOptionValue(args, i, "--export",
                                 "the PostgreSQL server, postgresql://USER@HOST:PORT/DATABASE",
                                 o.exportUrl, error))
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
    if (o.userData && !o.workDir.empty()) {
        error = "--user-data and --workdir exclude each other";
        return OptionsAction::Error;
    }
    return OptionsAction::Run;
}

void printMonitorUsage(FILE* out) {
    std::fputs(
        "usage: duplicator-monitor [--demo | --simulator SOCKET] [--headless]\n"
        "                          [--workdir DIR | --user-data] [--export URL]\n"
        "Watches the duplicators on the USB bus, keeps their job logs and shows them\n"
        "on a board of machine pictures. All files live in the working folder.\n"
        "\n"
        "  --demo              run with stand-in machines inside the program\n"
        "  --simulator SOCKET  attach to the stand-in machines of a running dupmon-sim\n"
        "                      (with stand-ins the Machine menu also shows its hidden\n"
        "                      clock and setup items)\n"
        "  --headless          no windows: sync every machine's job log, one line per event\n"
        "  --workdir DIR       keep the program's files in DIR, made when missing\n"
        "                      (default: the current folder)\n"
        "  --user-data         keep them in ~/.local/share/duplicator-monitor (XDG data)\n"
        "  --export URL        send every stored job-log record to this PostgreSQL server\n"
        "                      too (postgresql://USER@HOST:PORT/DATABASE); without it, the\n"
        "                      server that postgresql_export.par in the working folder names\n"
        "  --help              print this help and exit\n"
        "  --version           print the program's version and exit\n",
        out);
}

namespace fs = std::filesystem;

fs::path runningProgramFile(const char* argv0) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return self;
    // Without /proc (a chroot): a bare name was found on PATH, as the shell found it.
    const char* path = std::getenv("PATH");
    const fs::path found = findProgramOnPath(argv0, path ? path : "");
    return found.empty() ? fs::absolute(argv0) : found;
}

fs::path findProgramOnPath(const std::string& name, const std::string& path) {
    if (name.empty() || name.find('/') != std::string::npos)
        return {};
    std::error_code ec;
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(':', start), path.size());
        const fs::path candidate =
            fs::path(end > start ? path.substr(start, end - start) : ".") / name;
        if (::access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate, ec))
            return fs::absolute(candidate);
    }
    return {};
}

fs::path userDataFolder(std::string& error) {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data && fs::path(data).is_absolute())
        return fs::path(data) / "duplicator-monitor";
    const char* home = std::getenv("HOME");
    if (home && *home && fs::path(home).is_absolute())
        return fs::path(home) / ".local" / "share" / "duplicator-monitor";
    error = "--user-data: neither XDG_DATA_HOME nor HOME names a folder";
    return {};
}

bool prepareUserDataFolder(const fs::path& folder, const fs::path& programFile,
                           std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        fs::create_directories(folder.parent_path(), ec);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = folder.string() + ": cannot make the folder: " + std::strerror(errno);
            return false;
        }
    }
    const fs::path pictures =
        programFile.parent_path() / ".." / "share" / "duplicator-monitor" / "pictures";
    for (const auto& entry : fs::directory_iterator(pictures, ec)) {
        const fs::path link = folder / entry.path().filename();
        std::error_code exists;
        if (entry.is_directory(exists) && !fs::exists(fs::symlink_status(link, exists)))
            fs::create_directory_symlink(fs::canonical(entry.path(), exists), link, exists);
    }
    return true;
}

std::string makeWorkingFolder(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec))
        return {};
    if (fs::exists(fs::symlink_status(dir, ec)))
        return dir.string() + " is not a folder";
    fs::path full = fs::absolute(dir, ec);
    if (!full.has_filename()) // "DIR/"
        full = full.parent_path();
    const fs::path parent = full.parent_path();
    if (!fs::is_directory(parent, ec))
        return "cannot make the folder " + dir.string() + ": its parent " + parent.string() +
               " is not a folder";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot make the folder " + dir.string() + ": " + std::strerror(errno);
    return {};
}

namespace {

// True when something listens on the local socket of X display `number`
// (abstract, or the file in /tmp/.X11-unix).
bool localXServerListens(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (bool abstract : {true, false}) {
        const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd)
            return true; // cannot tell: leave it to Qt
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const size_t offset = abstract ? 1 : 0;
        std::memcpy(addr.sun_path + offset, path.data(), path.size());
        const auto len = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size());
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0)
            return true;
    }
    return false;
}

std::string environment(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

std::string displayProblem() {
    const std::string platform = environment("QT_QPA_PLATFORM");
    const bool x11 = platform.empty() || platform.rfind("xcb", 0) == 0;
    const bool wayland = platform.empty() || platform.rfind("wayland", 0) == 0;
    if (!x11 && !wayland)
        return {}; // offscreen, vnc, eglfs...: no display needed
    const std::string display = environment("DISPLAY");
    if (wayland && !environment("WAYLAND_DISPLAY").empty())
        return {};
    if (!x11)
        return "no display: use --headless or set WAYLAND_DISPLAY";
    if (display.empty())
        return "no display: use --headless or set DISPLAY";
    // A local display (":0", ":1.0", "unix:0") that nothing serves: Qt would abort.
    std::string number;
    if (display[0] == ':')
        number = display.substr(1);
    else if (display.rfind("unix:", 0) == 0)
        number = display.substr(5);
    else
        return {}; // a display over the network: only Qt can tell
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return {};
    if (!localXServerListens(number))
        return "no display at " + display + ": use --headless or set DISPLAY";
    return {};
}

} // namespace dupmon
