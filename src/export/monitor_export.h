#pragma once
// How the running monitor uses the export: where the server is named, and
// what the operator and each machine's debug file are told of it.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "export/record_exporter.h"

namespace dupmon {

class MACHINE;

// The parameter file in the working folder that names the PostgreSQL server
// of the desktop program (and of a headless one started without --export):
// its first line that is neither blank nor a "#" comment is the URL.
inline constexpr const char* kExportParameterFile = "postgresql_export.par";

struct ExportSetting {
    std::optional<std::string> url; // none: no export
    std::string problem; // the file is there but cannot be read: the export is off, and says why
};
// The URL the parameter file in `workDir` holds; none without the file.
ExportSetting readExportSetting(const std::filesystem::path& workDir);

// The monitor's side of the export, on the program's own thread: hands each
// record a machine stores to the exporter, and says what the exporter has to
// tell on the board's output and in the debug files of the machines: an
// outage when it begins or its cause changes (and to a machine that stores
// its first record during it), its end to the machines that were told, and
// a note about one machine to that machine.
class MonitorExport {
public:
    struct Outputs {
        std::function<void(const std::string&)> boardLine;
        // For what the operator must act on (a refused password, another
        // schema version, a URL that cannot be used, a server that refuses
        // records), once per cause and outage; may be empty.
        std::function<void(const std::string&)> alert;
        // Runs a call on the program's own thread later; called on the
        // export thread, to have poll() run when there is something to tell.
        std::function<void(std::function<void()>)> post;
    };
    MonitorExport(ExporterOptions options, Outputs outputs);
    ~MonitorExport();

    // Every record this connection stores goes to the server too.
    void attach(MACHINE& machine);
    void start();
    // On the program's thread: passes the exporter's notices on.
    void poll();
    // Ends the export thread without waiting on the server (what is queued
    // is sent at the next start).
    void stop();

    RecordExporter& exporter() { return *exporter_; }

private:
    void stored(MACHINE& machine, const uint8_t* record128);
    void tellMachine(MACHINE& machine, const std::string& text);

    std::unique_ptr<RecordExporter> exporter_;
    Outputs outputs_;
    std::vector<MACHINE*> machines_;
    std::string outage_;            // the text of the outage under way; empty when none
    std::set<const MACHINE*> told_; // machines whose debug file has it
};

} // namespace dupmon
