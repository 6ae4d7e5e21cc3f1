// The export thread: sends queued records in batches, compares the local log
// databases with the server after each connection, and waits longer after
// each failure.
#include "export/record_exporter.h"

#include <algorithm>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

#include "common/text.h"
#include "export/export_row.h"
#include "export/local_log.h"
#include "export/log_compare.h"
#include "export/schema.h"
#include "logdb/log_database.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {
constexpr const char* kCollecting =
    "; job-log records are collected locally and sent when the server takes them";
}

RecordExporter::RecordExporter(ExporterOptions options)
    : options_(std::move(options)), server_(checkServerUrl(options_.url)) {
    ring_.resize(std::max<size_t>(1, options_.queueCapacity));
    options_.batchRecords = std::max<uint32_t>(1, options_.batchRecords);
    options_.compareRecords = std::max<uint32_t>(1, options_.compareRecords);
}

RecordExporter::~RecordExporter() {
    stop();
}

void RecordExporter::start() {
    if (thread_.joinable() || finished_)
        return;
    if (!options_.settingProblem.empty() || !server_.usable()) {
        notify(ExportNotice::Kind::Off,
               "PostgreSQL export is off: " +
                   (options_.settingProblem.empty() ? server_.shown + " is " + server_.problem
                                                    : server_.redact(options_.settingProblem)) +
                   "; job-log records are kept in the local log databases only",
               true);
        finished_ = true;
        return;
    }
    stopFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    thread_ = std::thread([this] { run(); });
}

void RecordExporter::stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stopFd_.get(), &one, sizeof one);
    // A call waiting on the server fails at once; the thread then ends.
    session_.interrupt();
    thread_.join();
    stopFd_.reset();
}

void RecordExporter::offer(std::string_view machineId, const uint8_t* record128) {
    {
        std::lock_guard lock(mutex_);
        ++counters_.offered;
        if (finished_ || stopping_)
            return;
        uint32_t m = 0;
        while (m < machines_.size() && machines_[m].id != machineId)
            ++m;
        if (m == machines_.size())
            machines_.push_back({std::string(machineId), false});
        Machine& machine = machines_[m];
        // Once a record of a machine is left out, so are the ones after it,
        // until its database is compared with the server again.
        if (machine.behind || size_ == ring_.size()) {
            machine.behind = true;
            anyBehind_ = true;
            ++counters_.dropped;
        } else {
            Item& item = ring_[(head_ + size_) % ring_.size()];
            item.machine = m;
            std::memcpy(item.record, record128, sizeof item.record);
            ++size_;
        }
    }
    work_.notify_one();
}

std::vector<ExportNotice> RecordExporter::takeNotices() {
    std::lock_guard lock(mutex_);
    return std::exchange(notices_, {});
}

RecordExporter::Counters RecordExporter::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void RecordExporter::notify(ExportNotice::Kind kind, std::string text, bool mustAct,
                            std::string machineId) {
    {
        std::lock_guard lock(mutex_);
        notices_.push_back({kind, server_.redact(std::move(text)), mustAct, std::move(machineId)});
    }
    if (wake_)
        wake_();
}

void RecordExporter::beginOutage(const Cause& cause) {
    outage_ = true;
    if (!causesSaid_.insert(cause.kind).second)
        return;
    notify(ExportNotice::Kind::Outage, "PostgreSQL export to " + server_.shown + cause.text,
           cause.mustAct);
}

void RecordExporter::waitMs(uint32_t ms) {
    std::unique_lock lock(mutex_);
    work_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

std::optional<RecordExporter::Cause> RecordExporter::bringUpToDate(uint64_t& sent,
                                                                   int& upgradedFrom) {
    if (!session_.connected()) {
        {
            std::lock_guard lock(mutex_);
            ++counters_.attempts;
        }
        const PgSession::Failure failure =
            session_.connect(server_, options_.connectTimeoutMs, stopFd_.get(), options_.resolver);
        if (failure == PgSession::Failure::Refused)
            return Cause{"login",
                         " stopped: the server refused the connection: " + session_.problem() +
                             kCollecting,
                         true};
        if (failure != PgSession::Failure::None)
            return Cause{"unreachable",
                         " stopped: the server cannot be reached: " + session_.problem() +
                             kCollecting,
                         false};
        const SchemaCheck schema = prepareExportSession(session_);
        if (!schema.ready) {
            if (!session_.connected())
                return Cause{"unreachable", " stopped: " + schema.problem + kCollecting, false};
            return Cause{"schema", " stopped: " + schema.problem + kCollecting, true};
        }
        upgradedFrom = schema.upgradedFrom;
        verified_.clear();
        std::lock_guard lock(mutex_);
        ++counters_.connections;
    }
    Pass pass;
    catchUpAll(pass);
    sent = pass.sent;
    {
        std::lock_guard lock(mutex_);
        counters_.owed = pass.owed;
    }
    if (pass.lost)
        return Cause{"unreachable", " stopped: " + session_.problem() + kCollecting, false};
    if (pass.owed == 0)
        return std::nullopt;
    return Cause{"refused " + pass.refusalState,
                 ": " + std::to_string(pass.owed) +
                     (pass.owed == 1 ? " record waits" : " records wait") +
                     " for the server: " + pass.refusal + kCollecting,
                 true};
}

void RecordExporter::run() {
    uint32_t retryMs = 0;
    bool announced = false, upToDate = false;
    while (!stopping()) {
        if (!upToDate) {
            if (retryMs > 0)
                waitMs(retryMs);
            if (stopping())
                break;
            uint64_t sent = 0;
            int upgradedFrom = 0;
            const std::optional<Cause> cause = bringUpToDate(sent, upgradedFrom);
            if (stopping())
                break;
            if (cause) {
                beginOutage(*cause);
                session_.close();
                retryMs = retryMs == 0 ? options_.firstRetryMs
                                       : std::min(options_.longestRetryMs, retryMs * 2);
                continue;
            }
            const std::string lacked =
                sent > 0 ? "; sent " + std::to_string(sent) + " records it lacked" : "";
            if (outage_)
                notify(ExportNotice::Kind::Back, "PostgreSQL export to " + server_.shown +
                                                     ": the server takes records again" + lacked);
            else if (!announced)
                notify(ExportNotice::Kind::Connected,
                       "PostgreSQL export to " + server_.shown + ": connected (schema version " +
                           std::to_string(exportSchemaVersion()) +
                           (upgradedFrom > 0
                                ? ", brought up from version " + std::to_string(upgradedFrom)
                                : "") +
                           ")" + lacked);
            announced = upToDate = true;
            outage_ = false;
            causesSaid_.clear();
            retryMs = 0;
            continue;
        }
        std::vector<Item> items;
        std::vector<std::string> ids;
        if (takeBatch(items, ids))
            upToDate = sendQueued(items, ids);
        else if (!stopping())
            upToDate = catchUpBehind();
        // A record not placed is owed: the databases are compared again at
        // once, which says how many wait and why, or finds the server back.
    }
    session_.close();
    finished_ = true;
}

bool RecordExporter::takeBatch(std::vector<Item>& items, std::vector<std::string>& ids) {
    std::unique_lock lock(mutex_);
    work_.wait(lock, [this] { return stopping_ || size_ > 0 || anyBehind_; });
    if (size_ == 0)
        return false;
    const size_t n = std::min<size_t>(size_, options_.batchRecords);
    items.reserve(n);
    for (size_t i = 0; i < n; ++i)
        items.push_back(ring_[(head_ + i) % ring_.size()]);
    head_ = (head_ + n) % ring_.size();
    size_ -= n;
    ids.reserve(machines_.size());
    for (const Machine& m : machines_)
        ids.push_back(m.id);
    return true;
}

bool RecordExporter::sendQueued(const std::vector<Item>& items,
                                const std::vector<std::string>& ids) {
    std::string rows;
    rows.reserve(items.size() * 512);
    for (const Item& item : items)
        appendCopyRow(rows, ids[item.machine], item.record, options_.sentBy);
    const SendResult result = sendRecordRows(session_, rows);
    account(result, items.size(), nullptr);
    return result.complete();
}

void RecordExporter::account(const SendResult& result, uint64_t rows, Pass* pass) {
    {
        std::lock_guard lock(mutex_);
        counters_.sent += rows - result.refused;
        counters_.inserted += result.inserted;
        counters_.conflicts += result.newConflicts();
        counters_.refused += result.refused;
    }
    for (const auto& [machine, count] : result.conflicts)
        if (conflictsSaid_.insert(machine).second)
            notify(ExportNotice::Kind::Note,
                   "PostgreSQL export to " + server_.shown + ": " + std::to_string(count) +
                       " records of machine " + machine +
                       " have log numbers the server holds with other bytes (a machine id "
                       "used again, or a log that started again); they are kept in "
                       "dupmon_record_conflict",
                   false, machine);
    if (!pass)
        return;
    pass->sent += result.inserted + result.newConflicts();
    pass->owed += result.refused;
    pass->lost = pass->lost || result.connectionLost;
    pass->blocked = pass->blocked || result.serverRefused;
    if (result.refused > 0 && pass->refusal.empty()) {
        pass->refusalState = result.refusalState;
        pass->refusal = result.refusal;
    }
}

void RecordExporter::catchUpAll(Pass& pass) {
    // What the queue holds is in the databases already: they are compared
    // after this, and records stored later are queued again.
    {
        std::lock_guard lock(mutex_);
        head_ = size_ = 0;
        for (Machine& m : machines_)
            m.behind = false;
        anyBehind_ = false;
    }
    std::vector<fs::path> databases;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(options_.databaseDir, ec))
        if (!machineIdOfLogDatabase(entry.path()).empty())
            databases.push_back(entry.path());
    std::sort(databases.begin(), databases.end());
    for (const fs::path& db : databases) {
        if (stopping() || pass.lost)
            return;
        catchUp(machineIdOfLogDatabase(db), db, pass);
    }
}

bool RecordExporter::catchUpBehind() {
    std::string id;
    {
        std::lock_guard lock(mutex_);
        for (Machine& m : machines_)
            if (m.behind) {
                m.behind = false;
                id = m.id;
                break;
            }
        anyBehind_ = std::any_of(machines_.begin(), machines_.end(),
                                 [](const Machine& m) { return m.behind; });
    }
    if (id.empty())
        return true;
    MachineInfo info{};
    copyField(info.machineId, sizeof info.machineId, id);
    Pass pass;
    catchUp(id, logDatabasePath(options_.databaseDir, info), pass);
    return !pass.lost && pass.owed == 0;
}

void RecordExporter::catchUp(const std::string& machineId, const fs::path& database, Pass& pass) {
    LocalLog log;
    const DatabaseResult opened = log.open(database);
    if (opened == DATABASE_NOT_EXIST)
        return;
    if (opened != PASS) {
        if (unreadable_.insert(database.string()).second)
            notify(ExportNotice::Kind::Note,
                   "PostgreSQL export: " + database.string() + " is not sent: " + log.problem(),
                   false, machineId);
        return;
    }
    // Records known on the server in this connection are not compared again.
    uint64_t& verified = verified_[machineId];
    verified = std::min(verified, log.count());
    bool clean = true; // every record before `next` is on the server
    std::vector<uint8_t> records(size_t(options_.compareRecords) * kLogRecordSize);
    std::string rows;
    for (uint64_t next = verified; next < log.count() && !stopping();) {
        const uint32_t n =
            uint32_t(std::min<uint64_t>(options_.compareRecords, log.count() - next));
        if (!log.read(next, n, records.data())) {
            if (unreadable_.insert(database.string()).second)
                notify(ExportNotice::Kind::Note,
                       "PostgreSQL export: " + database.string() +
                           " could not be read to its end: " + log.problem(),
                       false, machineId);
            return;
        }
        Comparison c;
        if (!compareWithServer(session_, machineId, records.data(), n, c)) {
            if (!session_.connected()) {
                pass.lost = true;
                return;
            }
            // The server would not even be read: none of the run is known there.
            if (!pass.blocked) {
                pass.blocked = true;
                pass.refusalState = session_.sqlState();
                pass.refusal = refusalText(session_.sqlState(), session_.problem());
            }
            pass.owed += n;
            clean = false;
            next += n;
            continue;
        }
        const uint64_t owedBefore = pass.owed;
        for (const auto* positions : {&c.absent, &c.different}) {
            if (positions->empty())
                continue;
            if (pass.blocked) {
                pass.owed += positions->size();
                continue;
            }
            rows.clear();
            for (uint32_t i : *positions)
                appendCopyRow(rows, machineId, records.data() + size_t(i) * kLogRecordSize,
                              options_.sentBy);
            account(positions == &c.absent ? sendAbsentRows(session_, rows)
                                           : sendRecordRows(session_, rows),
                    positions->size(), &pass);
            if (pass.lost)
                return;
        }
        next += n;
        clean = clean && pass.owed == owedBefore;
        if (clean)
            verified = next;
    }
}

} // namespace dupmon
