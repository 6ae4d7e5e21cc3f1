// The monitor's side of the export: the server setting of the working folder,
// records handed to the exporter as machines store them, and its notices
// passed on to the board and the machines' debug files.
#include "export/monitor_export.h"

#include "common/file_io.h"
#include "common/text.h"
#include "connection/machine.h"

namespace dupmon {

ExportSetting readExportSetting(const std::filesystem::path& workDir) {
    ExportSetting setting;
    const std::filesystem::path path = workDir / kExportParameterFile;
    ReadableFile in = openRegularFile(path);
    if (!in) {
        std::error_code ec;
        if (!in.missing)
            setting.problem = path.string() + " " + in.problem;
        else if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec)))
            setting.problem = path.string() + " is a link to a file that does not exist";
        return setting;
    }
    in.file.reset();
    for (const std::string& line : readTextLines(path, 64, 4096)) {
        const std::string_view text = trimBlanks(cutLineEnd(line));
        if (!text.empty() && text[0] != '#') {
            setting.url = std::string(text);
            break;
        }
    }
    return setting;
}

MonitorExport::MonitorExport(ExporterOptions options, Outputs outputs)
    : exporter_(std::make_unique<RecordExporter>(std::move(options))),
      outputs_(std::move(outputs)) {
    if (outputs_.post)
        exporter_->setWakeUp([this] { outputs_.post([this] { poll(); }); });
}

MonitorExport::~MonitorExport() {
    stop();
}

void MonitorExport::attach(MACHINE& machine) {
    machines_.push_back(&machine);
    machine.setStoredRecordHook(
        [this, &machine](const uint8_t* record128) { stored(machine, record128); });
}

void MonitorExport::start() {
    exporter_->start();
    poll();
}

void MonitorExport::stop() {
    exporter_->stop();
    poll();
}

void MonitorExport::stored(MACHINE& machine, const uint8_t* record128) {
    const MachineInfo& info = machine.info();
    exporter_->offer(fieldText(info.machineId, sizeof info.machineId), record128);
    if (!outage_.empty() && !told_.count(&machine))
        tellMachine(machine, outage_);
}

void MonitorExport::tellMachine(MACHINE& machine, const std::string& text) {
    machine.log(text.c_str());
    told_.insert(&machine);
}

void MonitorExport::poll() {
    for (const ExportNotice& n : exporter_->takeNotices()) {
        if (outputs_.boardLine)
            outputs_.boardLine(n.text);
        switch (n.kind) {
        case ExportNotice::Kind::Outage:
        case ExportNotice::Kind::Off:
            outage_ = n.text;
            told_.clear();
            for (MACHINE* m : machines_)
                if (m->connected())
                    tellMachine(*m, n.text);
            break;
        case ExportNotice::Kind::Back:
            for (MACHINE* m : machines_)
                if (told_.count(m) && m->connected())
                    m->log(n.text.c_str());
            outage_.clear();
            told_.clear();
            break;
        case ExportNotice::Kind::Note:
            for (MACHINE* m : machines_)
                if (!n.machineId.empty() && m->connected() &&
                    fieldText(m->info().machineId, sizeof m->info().machineId) == n.machineId)
                    m->log(n.text.c_str());
            break;
        case ExportNotice::Kind::Connected:
            break;
        }
        if (n.operatorMustAct && outputs_.alert)
            outputs_.alert(n.text);
    }
}

} // namespace dupmon
