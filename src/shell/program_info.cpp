// The About text with the working folder's files, the places the manual and
// README may be installed, and man's output made plain.
#include "shell/program_info.h"

#include <system_error>

#include "common/text.h"
#include "common/version.h"
#include "devinfo/get_device_info.h"
#include "export/monitor_export.h"
#include "master_usb/download_texts.h"
#include "shell/window_position.h"

namespace dupmon {

namespace fs = std::filesystem;

std::string aboutText(const fs::path& workDir) {
    std::string s = format("%s %s\nVersion %s, built %s\n%s\n\n", kProgramName, kModelString,
                           kProgramVersion, kBuildDate, kNoticeText);
    s += "Working folder:\n  " + workDir.string() + "\n\n";
    s += "Where its files go (in the working folder):\n";
    const struct {
        const char* what;
        std::string where;
    } files[] = {
        {"Machine list", "DATABASE/BRELLOCK_QX42.DB7"},
        {"Job logs, one per machine", "DATABASE/<machine id>.QX42.LOGDATA"},
        {"Daily log lines", "<nickname, or model(machine id)>/<nickname>(YYYY-MM-DD).txt"},
        {"Debug files, monthly", "DEBUG_SESSION/<machine id>(YYYYMM).txt"},
        {"Window pictures", "SavePicture/YYYY/YYYY-MM/YYYYMMDD-hhmmss.jpg"},
        {"Main window position", kMainWindowParameterFile},
        {"Machine and log window positions",
         "DATABASE/<machine id>.qz9.par, DATABASE/<machine id>.qz9.log.par"},
        {"Get Device Info settings", kDeviceInfoParameterFile},
        {"Download Source Files settings",
         std::string(kDownloadParameterFile) + ", and COPY_ERR.TXT after a failed copy"},
        {"PostgreSQL export setting", kExportParameterFile},
    };
    for (const auto& f : files)
        s += format("  %-34s %s\n", (std::string(f.what) + ":").c_str(), f.where.c_str());
    s += "\nReports, device information files and check-ID files go where you save them.\n";
    return s;
}

std::vector<fs::path> manualCandidates(const fs::path& programFile) {
    const fs::path bin = programFile.parent_path();
    const char* page = "man1/duplicator-monitor.1";
    return {bin / ".." / "share" / "man" / (std::string(page) + ".gz"),
            fs::path("/usr/share/man") / (std::string(page) + ".gz"),
            fs::path("/usr/local/share/man") / (std::string(page) + ".gz"),
            // A program run from its build tree (build/<preset>/src/app).
            bin / ".." / ".." / "packaging" / "duplicator-monitor.1"};
}

std::vector<fs::path> readmeCandidates(const fs::path& programFile) {
    const fs::path bin = programFile.parent_path();
    return {bin / ".." / "share" / "doc" / "duplicator-monitor" / "README.md",
            "/usr/share/doc/duplicator-monitor/README.md",
            bin / ".." / ".." / ".." / ".." / "README.md"};
}

fs::path firstExisting(const std::vector<fs::path>& candidates) {
    for (const fs::path& p : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(p, ec))
            return p.lexically_normal();
    }
    return {};
}

std::string plainManText(const std::string& formatted) {
    std::string out;
    out.reserve(formatted.size());
    for (char c : formatted) {
        if (c == '\b') {
            if (!out.empty())
                out.pop_back(); // the character the next one is struck over
            continue;
        }
        out.push_back(c);
    }
    return out;
}

} // namespace dupmon
