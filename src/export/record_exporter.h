#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "export/export_row.h"
#include "export/pg_session.h"

namespace dupmon {

struct ExporterOptions {
    std::string url; // postgresql://USER@HOST:PORT/DATABASE
    // The local log databases: the export sends from them what the server
    // lacks, and what the queue could not hold.
    std::filesystem::path databaseDir;
    size_t queueCapacity = 8192; // records
    uint32_t batchRecords = 2000;
    int connectTimeoutMs = 10000;
    // Tries after a failure wait this long, doubling up to the longest wait.
    uint32_t firstRetryMs = 1000;
    uint32_t longestRetryMs = 60000;
    // At the end, queued records are still sent for this long.
    uint32_t closingGraceMs = 3000;
};

// What the export has to tell the operator, one line each.
struct ExportNotice {
    enum class Kind {
        Connected, // the first connection of this run
        Off,       // the URL cannot be used: nothing is ever sent in this run
        Outage,    // records cannot be sent now: said once, when it begins
        Back,      // the outage ended
        Note,      // anything else (a local database that cannot be read)
    };
    Kind kind = Kind::Note;
    std::string text;
    bool operatorMustAct = false; // a setting or the server must change first
};

// Sends every job-log record the monitor stores to a PostgreSQL server, on a
// thread of its own. The monitor's side only puts the record into a bounded
// queue and never waits for the server: when the queue is full the record
// is left out, and the machine's log database, which holds it, is read
// again to send what the server lacks. The same happens whenever a
// connection is made (at start and after each outage): from the server's
// highest log number of each machine, for every local log database.
class RecordExporter {
public:
    explicit RecordExporter(ExporterOptions options);
    ~RecordExporter();
    RecordExporter(const RecordExporter&) = delete;
    RecordExporter& operator=(const RecordExporter&) = delete;

    // Called on the export thread whenever a notice waits (set before start()).
    void setWakeUp(std::function<void()> wake) { wake_ = std::move(wake); }
    void start();
    // Sends what is queued for a short while (closingGraceMs), then ends.
    void stop();

    // The monitor stored this record: queue it. Never blocks on the server.
    void offer(std::string_view machineId, const uint8_t* record128);
    std::vector<ExportNotice> takeNotices();

    const ServerUrl& server() const { return server_; }
    struct Counters {
        uint64_t offered = 0;
        uint64_t dropped = 0;  // left out of a full queue (sent later from the database)
        uint64_t sent = 0;     // rows written to the server, new or not
        uint64_t inserted = 0; // rows new on the server
        uint64_t refused = 0;  // rows the server would not take
        uint64_t attempts = 0; // connections tried
        uint64_t connections = 0;
    };
    Counters counters() const;

private:
    struct Machine {
        std::string id;
        bool behind = false; // a record was left out of the queue
    };
    struct Item {
        uint32_t machine;
        uint8_t record[128];
    };

    void run();
    bool stopping() const { return stopping_.load(); }
    bool connectAndPrepare(std::string& problem, bool& mustAct);
    void notify(ExportNotice::Kind kind, std::string text, bool mustAct = false);
    void beginOutage(const std::string& problem, bool mustAct);
    void waitMs(uint32_t ms);
    // Takes up to a batch of queued records; waits while there is nothing to do.
    bool takeBatch(std::vector<Item>& items, std::vector<std::string>& ids);
    // Rows of the queue (any machines), or of one machine's database with
    // the range of their log numbers.
    bool sendRows(const std::string& rows, uint64_t records, const std::string& machineId = {},
                  std::optional<LogNumberRange> numbers = std::nullopt);
    // Every local database, from the server's highest log number of its machine.
    bool catchUpAll(uint64_t& sent);
    bool catchUpBehind();
    bool catchUp(const std::string& machineId, const std::filesystem::path& database,
                 uint64_t& sent);
    bool sendQueuedUntil(std::chrono::steady_clock::time_point deadline);

    ExporterOptions options_;
    ServerUrl server_;
    std::function<void()> wake_;
    PgSession session_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    int stopFd_ = -1; // readable once stopping, for the connection wait

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::vector<Machine> machines_;
    std::vector<Item> ring_;
    size_t head_ = 0, size_ = 0;
    bool anyBehind_ = false;
    std::vector<ExportNotice> notices_;
    Counters counters_;

    // Export thread only.
    bool outage_ = false;
    std::vector<std::string> unreadable_; // local databases already said to be unreadable
};

} // namespace dupmon
