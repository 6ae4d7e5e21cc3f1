// "dupmon-logtool export": sends existing log databases to a PostgreSQL
// server in batches, with a progress line, outside the monitor.
#include "export/log_export_tool.h"

#include <algorithm>
#include <future>
#include <optional>

#include "common/result_codes.h"
#include "export/export_row.h"
#include "export/local_log.h"
#include "export/log_compare.h"
#include "export/pg_session.h"
#include "export/record_table.h"
#include "export/schema.h"
#include "logdb/log_record.h"

namespace dupmon {

namespace {

constexpr const char* kProgram = "dupmon-logtool";
constexpr uint32_t kBatchRecords = 20000;
constexpr int kConnectTimeoutMs = 10000;

struct Failure {
    int status;
};

class LogExport {
public:
    LogExport(std::ostream& out, std::ostream& err, bool inPlace)
        : out_(out), err_(err), inPlace_(inPlace) {}

    int run(const std::vector<std::string>& args) {
        try {
            parse(args);
            connect();
            int status = 0;
            for (const std::string& db : databases_)
                status = std::max(status, send(db));
            return status;
        } catch (const Failure& f) {
            return f.status;
        }
    }

private:
    [[noreturn]] void fail(int status, const std::string& subject, const std::string& problem) {
        err_ << kProgram << ": " << subject << ": " << problem << "\n";
        throw Failure{status};
    }
    [[noreturn]] void usage(const std::string& problem) {
        err_ << kProgram << ": " << problem << "\n"
             << "usage: dupmon-logtool export DB... --to postgresql://USER@HOST:PORT/DATABASE "
                "[--machine-id ID]\n";
        throw Failure{2};
    }

    void parse(const std::vector<std::string>& args) {
        for (size_t i = 1; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--to" || a == "--machine-id") {
                if (i + 1 >= args.size() || args[i + 1].empty())
                    usage("option '" + a + "' needs a value");
                (a == "--to" ? url_ : machineId_) = args[++i];
            } else if (a.starts_with("--")) {
                usage("unexpected argument '" + a + "'");
            } else {
                databases_.push_back(a);
            }
        }
        if (databases_.empty())
            usage("'export' needs a log database");
        if (!url_)
            usage("'export' needs --to and the server's URL");
        if (machineId_ && databases_.size() > 1)
            usage("--machine-id names the machine of one database only");
        server_ = checkServerUrl(*url_);
        if (!server_.usable())
            usage("--to " + server_.shown + ": " + server_.problem);
    }

    void connect() {
        switch (session_.connect(server_, kConnectTimeoutMs)) {
        case PgSession::Failure::None:
            break;
        case PgSession::Failure::Refused:
            fail(1, server_.shown, "the server refused the connection: " + session_.problem());
        default:
            fail(1, server_.shown, "the server cannot be reached: " + session_.problem());
        }
        const SchemaCheck schema = prepareExportSession(session_);
        if (!schema.ready)
            fail(1, server_.shown, schema.problem);
        if (schema.created)
            err_ << kProgram << ": " << server_.shown
                 << ": made the job-log tables (schema version " << exportSchemaVersion() << ")\n";
        else if (schema.upgradedFrom > 0)
            err_ << kProgram << ": " << server_.shown << ": brought the job-log tables from schema "
                 << "version " << schema.upgradedFrom << " to " << exportSchemaVersion() << "\n";
    }

    void progress(const std::string& db, uint64_t done, uint64_t total, int& lastTenth) {
        const int percent = total ? int(done * 100 / total) : 100;
        const std::string line = "export " + db + ": " + std::to_string(done) + " of " +
                                 std::to_string(total) + " records (" + std::to_string(percent) +
                                 "%)";
        if (inPlace_) {
            err_ << "\r" << line << (done == total ? "\n" : "") << std::flush;
        } else if (percent / 10 != lastTenth || done == total) {
            lastTenth = percent / 10;
            err_ << line << "\n" << std::flush;
        }
    }

    int send(const std::string& db) {
        LocalLog log;
        const DatabaseResult opened = log.open(db);
        if (opened != PASS) {
            err_ << kProgram << ": " << db << ": "
                 << (log.problem().empty() ? errorName(opened)
                                           : log.problem() + " (" + errorName(opened) + ")")
                 << "\n";
            return 1;
        }
        const std::string id = machineId_ ? *machineId_ : machineIdOfLogDatabase(db);
        if (id.empty()) {
            err_ << kProgram << ": " << db
                 << ": the machine id is not in the file name (ID.QX42.LOGDATA): give it with "
                    "--machine-id\n";
            return 1;
        }
        const uint64_t total = log.count();
        // The next batch is read and written as rows while the server takes
        // this one: the program's work and the server's overlap.
        struct Batch {
            uint32_t count = 0;
            bool read = false;
            std::vector<uint8_t> records;
            std::string rows;
            std::vector<size_t> lineStarts; // of each record's row, and the end
        };
        auto prepare = [&log, &id, this](uint64_t first, uint32_t n) {
            Batch b;
            b.count = n;
            b.records.resize(size_t(n) * kLogRecordSize);
            b.read = log.read(first, n, b.records.data());
            if (b.read) {
                b.rows.reserve(size_t(n) * 512);
                for (uint32_t i = 0; i < n; ++i) {
                    b.lineStarts.push_back(b.rows.size());
                    appendCopyRow(b.rows, id, b.records.data() + size_t(i) * kLogRecordSize,
                                  sentBy_);
                }
                b.lineStarts.push_back(b.rows.size());
            }
            return b;
        };
        auto batchAt = [&](uint64_t first) {
            return std::async(std::launch::async, prepare, first,
                              uint32_t(std::min<uint64_t>(kBatchRecords, total - first)));
        };
        uint64_t done = 0, inserted = 0, conflicts = 0, refused = 0;
        std::string refusal;
        int lastTenth = -1;
        progress(db, 0, total, lastTenth);
        std::future<Batch> next;
        if (total > 0)
            next = batchAt(0);
        auto stopped = [&](const std::string& why) {
            fail(1, server_.shown,
                 why + "; " + std::to_string(done) + " of " + std::to_string(total) +
                     " records of " + db + " were sent: run the export again for the rest");
        };
        while (done < total) {
            const Batch batch = next.get();
            if (!batch.read) {
                err_ << kProgram << ": " << db << ": cannot be read after record " << done << "\n";
                return 1;
            }
            if (done + batch.count < total)
                next = batchAt(done + batch.count);
            // Only what the server lacks is sent: a database sent again costs
            // a comparison of digests.
            Comparison owed;
            if (!compareWithServer(session_, id, batch.records.data(), batch.count, owed))
                stopped(session_.problem());
            for (const auto* positions : {&owed.absent, &owed.different}) {
                if (positions->empty())
                    continue;
                std::string rows;
                if (positions->size() < batch.count)
                    for (uint32_t i : *positions)
                        rows.append(batch.rows, batch.lineStarts[i],
                                    batch.lineStarts[i + 1] - batch.lineStarts[i]);
                const std::string& chosen = positions->size() < batch.count ? rows : batch.rows;
                const SendResult sent = positions == &owed.absent
                                            ? sendAbsentRows(session_, chosen)
                                            : sendRecordRows(session_, chosen);
                if (!sent.ok())
                    stopped(sent.connectionLost ? session_.problem() : sent.refusal);
                inserted += sent.inserted;
                conflicts += sent.newConflicts();
                if (sent.refused > 0 && refused == 0)
                    refusal = sent.refusal;
                refused += sent.refused;
            }
            done += batch.count;
            progress(db, done, total, lastTenth);
        }
        out_ << db << ": " << total << " records of machine " << id << ": " << inserted
             << " new on the server, " << (total - inserted - conflicts - refused)
             << " there already";
        if (conflicts > 0)
            out_ << ", " << conflicts
                 << " under log numbers the server holds with other bytes (kept in "
                    "dupmon_record_conflict)";
        if (refused > 0)
            out_ << ", " << refused << " refused (" << refusal << ")";
        out_ << "\n";
        return refused > 0 ? 1 : 0;
    }

    std::ostream& out_;
    std::ostream& err_;
    bool inPlace_;
    std::vector<std::string> databases_;
    std::optional<std::string> url_, machineId_;
    ServerUrl server_;
    PgSession session_;
    const std::string sentBy_ = thisPcName();
};

} // namespace

int runLogExport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 bool progressInPlace) {
    LogExport tool(out, err, progressInPlace);
    return tool.run(args);
}

} // namespace dupmon
