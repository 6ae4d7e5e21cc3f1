#include "export/record_exporter.h"

#include <algorithm>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

#include "common/text.h"
#include "export/export_row.h"
#include "export/local_log.h"
#include "export/record_table.h"
#include "logdb/log_database.h"

namespace dupmon {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

RecordExporter::RecordExporter(ExporterOptions options)
    : options_(std::move(options)), server_(checkServerUrl(options_.url)) {
    ring_.resize(std::max<size_t>(1, options_.queueCapacity));
    options_.batchRecords = std::max<uint32_t>(1, options_.batchRecords);
}

RecordExporter::~RecordExporter() {
    stop();
}

void RecordExporter::start() {
    if (thread_.joinable() || finished_)
        return;
    if (!server_.usable()) {
        notify(ExportNotice::Kind::Off,
               "PostgreSQL export is off: " + server_.shown + " is " + server_.problem +
                   "; job-log records are kept in the local log databases only",
               true);
        finished_ = true;
        return;
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
    [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
    {
        // The thread sends what is queued within its grace; a server that
        // hangs meanwhile is cut off.
        std::unique_lock lock(mutex_);
        done_.wait_for(lock, std::chrono::milliseconds(options_.closingGraceMs + 1000),
                       [this] { return finished_.load(); });
    }
    if (!finished_)
        session_.interrupt();
    thread_.join();
    ::close(stopFd_);
    stopFd_ = -1;
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
        // until its database is read again: the server's highest number of
        // the machine then still tells where the missing ones begin.
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

void RecordExporter::notify(ExportNotice::Kind kind, std::string text, bool mustAct) {
    {
        std::lock_guard lock(mutex_);
        notices_.push_back({kind, std::move(text), mustAct});
    }
    if (wake_)
        wake_();
}

void RecordExporter::beginOutage(const std::string& problem, bool mustAct) {
    if (outage_)
        return;
    outage_ = true;
    notify(ExportNotice::Kind::Outage,
           "PostgreSQL export to " + server_.shown + " stopped: " + problem +
               "; job-log records are collected locally and sent when the server takes them",
           mustAct);
}

void RecordExporter::waitMs(uint32_t ms) {
    std::unique_lock lock(mutex_);
    work_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

bool RecordExporter::connectAndPrepare(std::string& problem, bool& mustAct) {
    mustAct = false;
    {
        std::lock_guard lock(mutex_);
        ++counters_.attempts;
    }
    const PgSession::Failure failure =
        session_.connect(server_, options_.connectTimeoutMs, stopFd_);
    if (failure != PgSession::Failure::None) {
        problem = failure == PgSession::Failure::Refused
                      ? "the server refused the connection: " + session_.problem()
                      : "the server cannot be reached: " + session_.problem();
        mustAct = failure == PgSession::Failure::Refused;
        return false;
    }
    const SchemaCheck schema = prepareExportSession(session_);
    if (!schema.ready) {
        problem = schema.problem;
        mustAct = schema.otherVersion || session_.connected();
        session_.close();
        return false;
    }
    std::lock_guard lock(mutex_);
    ++counters_.connections;
    return true;
}

void RecordExporter::run() {
    uint32_t retryMs = 0;
    bool announced = false;
    while (!stopping()) {
        if (!session_.connected()) {
            if (retryMs > 0)
                waitMs(retryMs);
            if (stopping())
                break;
            // A connection counts once the server has what the local
            // databases hold.
            std::string problem;
            bool mustAct = false;
            uint64_t sent = 0;
            bool ok = connectAndPrepare(problem, mustAct);
            if (ok && !(ok = catchUpAll(sent)))
                problem = session_.problem();
            if (stopping())
                break;
            if (!ok) {
                beginOutage(problem, mustAct);
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
                           std::to_string(kExportSchemaVersion) + ")" + lacked);
            announced = true;
            outage_ = false;
            retryMs = 0;
            continue;
        }
        bool ok = true;
        std::vector<Item> items;
        std::vector<std::string> ids;
        if (takeBatch(items, ids)) {
            std::string rows;
            rows.reserve(items.size() * 512);
            for (const Item& item : items)
                appendCopyRow(rows, ids[item.machine], item.record);
            ok = sendRows(rows, items.size());
        } else if (!stopping()) {
            ok = catchUpBehind();
        }
        if (!ok && !stopping()) {
            // Tried again at once: a server that restarted takes it.
            beginOutage(session_.problem(), false);
            session_.close();
        }
    }
    if (session_.connected())
        sendQueuedUntil(SteadyClock::now() + std::chrono::milliseconds(options_.closingGraceMs));
    session_.close();
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
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

bool RecordExporter::sendRows(const std::string& rows, uint64_t records,
                              const std::string& machineId, std::optional<LogNumberRange> numbers) {
    const SendResult result =
        numbers ? sendMachineRows(session_, rows, machineId, numbers->lowest, numbers->highest)
                : sendRecordRows(session_, rows);
    if (!result.ok)
        return false;
    {
        std::lock_guard lock(mutex_);
        counters_.sent += records - result.refused;
        counters_.inserted += result.inserted;
        counters_.refused += result.refused;
    }
    if (result.refused > 0)
        notify(ExportNotice::Kind::Note,
               "PostgreSQL export to " + server_.shown + ": the server refused " +
                   std::to_string(result.refused) + " of " + std::to_string(records) +
                   " records: " + result.refusal);
    return true;
}

bool RecordExporter::catchUpAll(uint64_t& sent) {
    // What the queue holds is in the databases already: they are read after
    // this, and records stored later are queued again.
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
        if (stopping())
            return true;
        if (!catchUp(machineIdOfLogDatabase(db), db, sent))
            return false;
    }
    return true;
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
    uint64_t sent = 0;
    return catchUp(id, logDatabasePath(options_.databaseDir, info), sent);
}

bool RecordExporter::catchUp(const std::string& machineId, const fs::path& database,
                             uint64_t& sent) {
    std::optional<uint32_t> highest;
    if (!serverHighestLogNo(session_, machineId, highest))
        return false;
    LocalLog log;
    const DatabaseResult opened = log.open(database);
    if (opened == DATABASE_NOT_EXIST)
        return true;
    if (opened != PASS) {
        if (std::find(unreadable_.begin(), unreadable_.end(), database) == unreadable_.end()) {
            unreadable_.push_back(database);
            notify(ExportNotice::Kind::Note,
                   "PostgreSQL export: " + database.string() + " is not sent: " + log.problem());
        }
        return true;
    }
    uint64_t next = 0;
    if (highest)
        next = log.indexAfter(*highest).value_or(0);
    std::vector<uint8_t> records(size_t(options_.batchRecords) * 128);
    std::string rows;
    while (next < log.count() && !stopping()) {
        const uint32_t n = uint32_t(std::min<uint64_t>(options_.batchRecords, log.count() - next));
        if (!log.read(next, n, records.data())) {
            notify(ExportNotice::Kind::Note, "PostgreSQL export: " + database.string() +
                                                 " could not be read to its end: " + log.problem());
            return true;
        }
        rows.clear();
        const LogNumberRange numbers = appendMachineRows(rows, machineId, records.data(), n);
        if (!sendRows(rows, n, machineId, numbers))
            return false;
        next += n;
        sent += n;
    }
    return true;
}

bool RecordExporter::sendQueuedUntil(SteadyClock::time_point deadline) {
    while (SteadyClock::now() < deadline) {
        std::vector<Item> items;
        std::vector<std::string> ids;
        {
            std::lock_guard lock(mutex_);
            if (size_ == 0)
                return true;
        }
        if (!takeBatch(items, ids))
            return true;
        std::string rows;
        for (const Item& item : items)
            appendCopyRow(rows, ids[item.machine], item.record);
        if (!sendRows(rows, items.size()))
            return false;
    }
    return false;
}

} // namespace dupmon
