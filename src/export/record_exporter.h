#pragma once
// The exporter that sends every stored job-log record to a PostgreSQL server
// on a thread of its own, and the notices it has for the operator.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/file_io.h"
#include "export/export_row.h"
#include "export/pg_session.h"
#include "export/record_table.h"

namespace dupmon {

struct ExporterOptions {
    // postgresql://USER@HOST:PORT/DATABASE, or a libpq "key=value" string.
    std::string url;
    // Why the setting that names the server cannot be read: the export is
    // then off, and says so once.
    std::string settingProblem;
    // The local log databases: the export sends from them what the server
    // lacks, and what the queue could not hold.
    std::filesystem::path databaseDir;
    std::string sentBy = thisPcName(); // the rows' sent_by
    size_t queueCapacity = 8192;       // records
    uint32_t batchRecords = 2000;
    uint32_t compareRecords = 20000; // local records compared with the server at once
    int connectTimeoutMs = 10000;
    // Tries after a failure wait this long, doubling up to the longest wait.
    uint32_t firstRetryMs = 1000;
    uint32_t longestRetryMs = 60000;
    NameResolver resolver; // the system's when empty
};

// What the export has to tell the operator, one line each.
struct ExportNotice {
    enum class Kind {
        Connected, // the first connection of this run
        Off,       // the setting cannot be used: nothing is ever sent in this run
        Outage,    // records cannot be sent now: said when it begins and when its cause changes
        Back,      // the outage ended: the server holds every local record
        Note,      // anything else (a local database that cannot be read, a key conflict)
    };
    Kind kind = Kind::Note;
    std::string text;
    bool operatorMustAct = false; // a setting or the server must change first
    std::string machineId;        // the machine a note is about; empty when none
};

// Sends every job-log record the monitor stores to a PostgreSQL server, on a
// thread of its own. The monitor's side only puts the record into a bounded
// queue and never waits for the server: when the queue is full the record
// is left out, and the machine's log database, which holds it, is compared
// with the server again to send what it lacks. The same happens whenever a
// connection is made (at start and after each outage): every local log
// database is compared with what the server holds, record by record, so a
// record the server refused or never got is sent then. A record is owed
// until the server holds it; nothing gives one up.
class RecordExporter {
public:
    explicit RecordExporter(ExporterOptions options);
    ~RecordExporter();
    RecordExporter(const RecordExporter&) = delete;
    RecordExporter& operator=(const RecordExporter&) = delete;

    // Called on the export thread whenever a notice waits (set before start()).
    void setWakeUp(std::function<void()> wake) { wake_ = std::move(wake); }
    void start();
    // Ends the export thread without waiting on the server: a call under way
    // is cut off. What is queued stays owed: the local log databases hold it,
    // and the next start sends it.
    void stop();

    // The monitor stored this record: queue it. Never blocks on the server.
    void offer(std::string_view machineId, const uint8_t* record128);
    std::vector<ExportNotice> takeNotices();

    const ServerUrl& server() const { return server_; }
    struct Counters {
        uint64_t offered = 0;
        uint64_t dropped = 0;   // left out of a full queue (sent later from the database)
        uint64_t sent = 0;      // rows written to the server, new or not
        uint64_t inserted = 0;  // rows new on the server
        uint64_t conflicts = 0; // rows kept in dupmon_record_conflict
        uint64_t refused = 0;   // rows the server would not take when tried (they stay owed)
        uint64_t owed = 0;      // local records the last comparison found the server lacks
        uint64_t attempts = 0;  // connections tried
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
    // One comparison of local databases with the server, and what it sent.
    struct Pass {
        uint64_t sent = 0;    // records the server lacked and now holds
        uint64_t owed = 0;    // records it still lacks
        bool lost = false;    // the connection ended
        bool blocked = false; // the server refused as a whole: sending stopped, comparing went on
        std::string refusalState, refusal; // the first refusal
    };
    // Why records cannot be sent: said once per kind within an outage.
    struct Cause {
        std::string kind; // "unreachable", "login", "schema", "refused 53100", ...
        std::string text;
        bool mustAct = false;
    };

    void run();
    bool stopping() const { return stopping_.load(); }
    // Connects (when not connected), prepares the tables and compares every
    // local database; the cause when the server does not hold every record.
    std::optional<Cause> bringUpToDate(uint64_t& sent, int& upgradedFrom);
    void notify(ExportNotice::Kind kind, std::string text, bool mustAct = false,
                std::string machineId = {});
    void beginOutage(const Cause& cause);
    void waitMs(uint32_t ms);
    // Takes up to a batch of queued records; waits while there is nothing to do.
    bool takeBatch(std::vector<Item>& items, std::vector<std::string>& ids);
    // Queued rows (any machines): false when not all are on the server.
    bool sendQueued(const std::vector<Item>& items, const std::vector<std::string>& ids);
    // Counts a send, says new key conflicts; the rows it did not place are owed.
    void account(const SendResult& result, uint64_t rows, Pass* pass);
    void catchUpAll(Pass& pass);
    bool catchUpBehind();
    void catchUp(const std::string& machineId, const std::filesystem::path& database, Pass& pass);

    ExporterOptions options_;
    ServerUrl server_;
    std::function<void()> wake_;
    PgSession session_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    UniqueFd stopFd_; // readable once stopping, for the connection wait

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::vector<Machine> machines_;
    std::vector<Item> ring_;
    size_t head_ = 0, size_ = 0;
    bool anyBehind_ = false;
    std::vector<ExportNotice> notices_;
    Counters counters_;

    // Export thread only.
    bool outage_ = false;
    std::set<std::string> causesSaid_;         // the kinds said in this outage
    std::set<std::string> unreadable_;         // local databases said to be unreadable
    std::set<std::string> conflictsSaid_;      // machines whose key conflicts were said
    std::map<std::string, uint64_t> verified_; // per machine: local records known on the server
};

} // namespace dupmon
