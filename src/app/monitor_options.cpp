#include "app/monitor_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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
        "  --workdir DIR       keep the program's files in DIR (default: the current folder)\n"
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

} // namespace dupmon
