// Figures for the export of a log database into PostgreSQL: dupmon-logtool
// export of a generated 1,000,000-record database, and the monitor's
// catch-up of the same database against a server that holds every other
// record (and one that holds them all), next to a plain COPY of the same
// rows (made beforehand, in memory) into a table of the same layout, on a
// server made for the run (as tests/export do); each twice, in turns. Then
// the per-machine date-range queries over 1,000,000 rows of ten machines,
// with EXPLAIN ANALYZE, without and with the index on machine and date.
// Usage: bench_pg_export [records] [folder]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "export/export_row.h"
#include "export/local_log.h"
#include "export/log_export_tool.h"
#include "export/pg_session.h"
#include "export/pg_test_server.h"
#include "export/record_exporter.h"
#include "export/record_table.h"
#include "export/schema.h"
#include "export/server_url.h"
#include "log_bench_data.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The monitor's export started against `url` with the local databases in
// `databases`: seconds until its first connection has compared them all
// with the server and sent what it lacked, and what it said then.
double catchUpSeconds(const std::string& url, const fs::path& databases, std::string& said) {
    ExporterOptions o;
    o.url = url;
    o.databaseDir = databases;
    RecordExporter e(o);
    const auto t0 = std::chrono::steady_clock::now();
    e.start();
    for (;;) {
        for (const ExportNotice& n : e.takeNotices()) {
            if (n.kind != ExportNotice::Kind::Connected) {
                std::fprintf(stderr, "bench_pg_export: catch-up: %s\n", n.text.c_str());
                std::exit(1);
            }
            const double t = seconds(t0);
            said = n.text.substr(n.text.find(": connected") + 2);
            e.stop();
            return t;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The execution time EXPLAIN ANALYZE reports for `sql`, best of three, and
// the plan's first line.
double queryMs(test::TestPostgres& server, const std::string& db, const std::string& sql,
               std::string& plan) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        const auto rows = server.admin(db, "EXPLAIN ANALYZE " + sql);
        plan.clear();
        for (const auto& row : rows) {
            if (row.empty())
                continue;
            if (row[0].rfind("Execution Time: ", 0) == 0)
                best = std::min(best, std::strtod(row[0].c_str() + 16, nullptr));
            const size_t scan = row[0].find("Scan");
            if (plan.empty() && scan != std::string::npos) {
                const size_t from = row[0].find_first_not_of(" ->");
                plan = row[0].substr(from, row[0].find("  (") - from);
            }
        }
    }
    return best;
}

// 1,000,000 rows of ten machines over a year, and the queries a site runs
// for one machine and a range of dates, without and with the index.
void dateRangeQueries(test::TestPostgres& server) {
    server.createDatabase("queries");
    PgSession s;
    if (s.connect(checkServerUrl(server.url("queries")), 10000) != PgSession::Failure::None ||
        !prepareExportSession(s).ready) {
        std::fprintf(stderr, "bench_pg_export: %s\n", s.problem().c_str());
        std::exit(1);
    }
    s.close();
    server.admin("queries",
                 "INSERT INTO dupmon_job_record (machine_id, log_no, recorded_at, port, "
                 "function_no, function_name, function_text, result_code, result, outcome, "
                 "capacity_sectors, data_sectors, sector_size, capacity_bytes, run_time_seconds, "
                 "target, raw, sent_by) SELECT 'M' || (i % 10), i / 10, timestamp '2024-01-01' + "
                 "i * interval '31 seconds', 1 + i % 16, 1, 'COPY', 'COPY(DATA,100.0MB)', "
                 "CASE WHEN i % 37 = 0 THEN 7 ELSE 0 END, CASE WHEN i % 37 = 0 THEN "
                 "'FAIL(LBA:' || i || ')' ELSE 'PASS' END, CASE WHEN i % 37 = 0 THEN 'fail' ELSE "
                 "'pass' END, 7864320, 204800, 512, 4026531840, 60 + i % 100, '0781h 5567h "
                 "[4C53' || i || ']', decode(lpad(to_hex(i), 256, '0'), 'hex'), 'bench-pc' FROM "
                 "generate_series(0, 999999) i");
    server.admin("queries", "VACUUM ANALYZE dupmon_job_record");
    const struct {
        const char* what;
        const char* sql;
    } queries[] = {
        {"failures by port, one machine, one week",
         "SELECT port, count(*) FROM dupmon_job_record WHERE machine_id = 'M3' AND recorded_at "
         ">= '2024-03-01' AND recorded_at < '2024-03-08' AND outcome = 'fail' GROUP BY port"},
        {"failures by port, one machine, one month",
         "SELECT port, count(*) FROM dupmon_job_record WHERE machine_id = 'M3' AND recorded_at "
         ">= '2024-03-01' AND recorded_at < '2024-04-01' AND outcome = 'fail' GROUP BY port"},
        {"yield per day, one machine, one month",
         "SELECT recorded_at::date, count(*) FILTER (WHERE outcome = 'pass'), count(*) FROM "
         "dupmon_job_record WHERE machine_id = 'M3' AND recorded_at >= '2024-03-01' AND "
         "recorded_at < '2024-04-01' GROUP BY 1"},
        {"failures by port, one machine, all dates",
         "SELECT port, count(*) FROM dupmon_job_record WHERE machine_id = 'M3' AND outcome = "
         "'fail' GROUP BY port"},
        {"failures by port, every machine, all dates",
         "SELECT machine_id, port, count(*) FROM dupmon_job_record WHERE outcome = 'fail' GROUP "
         "BY machine_id, port"},
    };
    double without[std::size(queries)];
    std::string plans[std::size(queries)];
    const std::string index = "dupmon_job_record_machine_recorded_at";
    const std::string made = server.value(
        "queries", "SELECT indexdef FROM pg_indexes WHERE indexname = '" + index + "'");
    server.admin("queries", "DROP INDEX " + index);
    for (size_t i = 0; i < std::size(queries); ++i)
        without[i] = queryMs(server, "queries", queries[i].sql, plans[i]);
    server.admin("queries", made);
    server.admin("queries", "VACUUM ANALYZE dupmon_job_record");
    std::printf(
        "1000000 rows of 10 machines over a year (table %s, the index %s), EXPLAIN "
        "ANALYZE execution time, best of 3, without -> with\n  %s:\n",
        server
            .value("queries", "SELECT pg_size_pretty(pg_relation_size("
                              "'dupmon_job_record'))")
            .c_str(),
        server.value("queries", "SELECT pg_size_pretty(pg_relation_size('" + index + "'))").c_str(),
        made.c_str());
    for (size_t i = 0; i < std::size(queries); ++i) {
        std::string plan;
        const double with = queryMs(server, "queries", queries[i].sql, plan);
        std::printf("  %-44s %8.1f ms -> %8.1f ms\n      plan before: %s\n      plan after:  %s\n",
                    queries[i].what, without[i], with, plans[i].c_str(), plan.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t records = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 1000000;
    const fs::path dir = (argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path()) /
                         ("dupmon-bench-pg-" + std::to_string(::getpid()));
    fs::create_directories(dir / "DATABASE");
    test::TestPostgres server;
    if (!server.start(dir)) {
        std::fprintf(stderr, "bench_pg_export: %s\n", server.problem().c_str());
        fs::remove_all(dir);
        return 1;
    }
    const fs::path db = dir / "DATABASE" / "SU10-000001.QX42.LOGDATA";
    bench::generate(db, records);
    std::printf("%u records (%.0f MB), PostgreSQL in %s, port %d\n", records,
                double(fs::file_size(db)) / 1e6, dir.c_str(), server.port());

    // The plain COPY's rows: the same text the export writes, made before the clock starts.
    LocalLog log;
    log.open(db);
    std::vector<uint8_t> raw(size_t(records) * 128);
    log.read(0, records, raw.data());
    std::string rows;
    rows.reserve(size_t(records) * 420);
    const auto made = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < records; ++i)
        appendCopyRow(rows, "SU10-000001", raw.data() + size_t(i) * 128);
    const double makeTime = seconds(made);
    std::printf("rows decoded and written as COPY text in %.2f s (%.0f records/s, %.0f MB)\n",
                makeTime, records / makeTime, double(rows.size()) / 1e6);
    // Every 1000th record, for a server that holds some of them already.
    std::string seedRows;
    for (uint32_t i = 0; i < records; i += 1000)
        appendCopyRow(seedRows, "SU10-000001", raw.data() + size_t(i) * 128);
    raw = {};

    // One export of the database into `url`, in records per second.
    auto exportRate = [&](const std::string& url, const char* what) {
        std::ostringstream out, err;
        const auto t0 = std::chrono::steady_clock::now();
        const int status = runLogExport({"export", db.string(), "--to", url}, out, err, false);
        const double t = seconds(t0);
        if (status != 0) {
            std::fprintf(stderr, "bench_pg_export: export: %s", err.str().c_str());
            std::exit(1);
        }
        const std::string summary = out.str();
        std::printf("  %-44s %6.2f s = %7.0f records/s (%s)\n", what, t, records / t,
                    summary.substr(summary.find(": ") + 2, summary.size() - summary.find(": ") - 3)
                        .c_str());
        return records / t;
    };
    double bestCopy = 0, bestFresh = 0, bestAgain = 0, bestMixed = 0, bestCatchUp = 0, bestHeld = 0;
    for (int run = 0; run < 2; ++run) {
        std::printf("run %d:\n", run + 1);
        const std::string name = "run" + std::to_string(run);
        server.createDatabase(name);
        const std::string url = server.url(name);

        // The table the export makes, and a plain one of the same layout beside it.
        PgSession s;
        if (s.connect(checkServerUrl(url), 10000) != PgSession::Failure::None ||
            !prepareExportSession(s).ready ||
            !s.exec("CREATE TABLE plain_copy (LIKE dupmon_job_record INCLUDING ALL)")) {
            std::fprintf(stderr, "bench_pg_export: %s\n", s.problem().c_str());
            return 1;
        }
        const auto t0 = std::chrono::steady_clock::now();
        const bool copied = s.copyIn(
            ("COPY plain_copy (" + std::string(kRecordColumns) + ") FROM STDIN").c_str(), rows);
        const double copyTime = seconds(t0);
        if (!copied) {
            std::fprintf(stderr, "bench_pg_export: COPY: %s\n", s.problem().c_str());
            return 1;
        }
        const double copyRate = records / copyTime;
        std::printf("  %-44s %6.2f s = %7.0f records/s\n", "plain COPY of the same rows", copyTime,
                    copyRate);
        bestCopy = std::max(bestCopy, copyRate);
        bestFresh = std::max(bestFresh, exportRate(url, "export, new server (backfill)"));
        bestAgain = std::max(bestAgain, exportRate(url, "export again (every row there)"));

        // A server that holds every 1000th record already: each batch goes
        // through the staging table and ON CONFLICT.
        const std::string mixed = "mixed" + std::to_string(run);
        server.createDatabase(mixed);
        PgSession m;
        if (m.connect(checkServerUrl(server.url(mixed)), 10000) != PgSession::Failure::None ||
            !prepareExportSession(m).ready || !sendRecordRows(m, seedRows).complete()) {
            std::fprintf(stderr, "bench_pg_export: %s\n", m.problem().c_str());
            return 1;
        }
        m.close();
        bestMixed =
            std::max(bestMixed, exportRate(server.url(mixed), "export, server holds every 1000th"));

        // The monitor's catch-up, against a server that lost every other
        // record, then against one that holds them all (a reconnection).
        server.admin(name, "DELETE FROM dupmon_job_record WHERE log_no % 2 = 1");
        server.admin(name, "VACUUM ANALYZE dupmon_job_record");
        std::string said;
        const double catchUp = catchUpSeconds(url, dir / "DATABASE", said);
        std::printf("  %-44s %6.2f s = %7.0f records/s (%s)\n",
                    "catch-up, server holds every other one", catchUp, records / catchUp,
                    said.c_str());
        const double held = catchUpSeconds(url, dir / "DATABASE", said);
        std::printf("  %-44s %6.2f s = %7.0f records/s (%s)\n", "catch-up, server holds all", held,
                    records / held, said.c_str());
        if (server.value(name, "SELECT count(*) FROM dupmon_job_record") !=
            std::to_string(records)) {
            std::fprintf(stderr, "bench_pg_export: the catch-up left the server short\n");
            return 1;
        }
        bestCatchUp = std::max(bestCatchUp, records / catchUp);
        bestHeld = std::max(bestHeld, records / held);
    }
    std::printf("best: plain COPY %.0f records/s; export to a new server %.0f records/s = %.2f of "
                "COPY (target >= 0.50); again %.0f records/s; server holding every 1000th %.0f "
                "records/s = %.2f of COPY\n",
                bestCopy, bestFresh, bestFresh / bestCopy, bestAgain, bestMixed,
                bestMixed / bestCopy);
    std::printf("best: catch-up of %u local records, server holding every other one: %.0f local "
                "records/s = %.2f of COPY (target >= 0.50); the half it sent, %.0f records/s = "
                "%.2f of COPY; server holding all: %.0f local records/s\n",
                records, bestCatchUp, bestCatchUp / bestCopy, bestCatchUp / 2,
                bestCatchUp / 2 / bestCopy, bestHeld);
    dateRangeQueries(server);
    // The monitor's side of the live export: what offer() costs the step of
    // a machine that stored a record, while the export keeps up and while
    // the server holds every write back (the queue full, records left to
    // the catch-up).
    {
        server.createDatabase("offers");
        ExporterOptions o;
        o.url = server.url("offers");
        o.databaseDir = dir / "none";
        RecordExporter e(o);
        e.start();
        while (e.counters().connections == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        uint8_t record[128];
        auto offers = [&](uint32_t n, uint32_t first) {
            const auto t0 = std::chrono::steady_clock::now();
            for (uint32_t i = 0; i < n; ++i) {
                bench::makeRecord(record, first + i);
                e.offer("SU10-000001", record);
            }
            return seconds(t0) * 1e9 / n;
        };
        const double flowing = offers(5000, 0);
        while (e.counters().sent < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        PGconn* blocker = PQconnectdb(server.adminConninfo("offers").c_str());
        PQclear(PQexec(blocker, "BEGIN; LOCK TABLE dupmon_job_record IN SHARE MODE"));
        const double held = offers(1000000, 5000);
        const auto c = e.counters();
        // Closing while a write waits on the server: stop() cuts it off.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto t0 = std::chrono::steady_clock::now();
        e.stop();
        const double stopMs = seconds(t0) * 1e3;
        PQclear(PQexec(blocker, "COMMIT"));
        PQfinish(blocker);
        std::printf("offer(), the monitor's side, record made included: %.0f ns a record while the "
                    "export keeps up; %.0f ns with the server holding writes back (%llu of "
                    "1000000 left out of the full queue); stop() with a write waiting on the "
                    "server: %.1f ms\n",
                    flowing, held, static_cast<unsigned long long>(c.dropped), stopMs);
    }
    server.stopServer(false);
    fs::remove_all(dir);
    return 0;
}
