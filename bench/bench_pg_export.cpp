// Figures for the backfill of a log database into PostgreSQL: dupmon-logtool
// export of a generated 1,000,000-record database, next to a plain COPY of
// the same rows (made beforehand, in memory) into a table of the same
// layout, on a server made for the run (as tests/export do). Each is timed
// into an empty table, twice, in turns.
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
#include "log_bench_data.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
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
    double bestCopy = 0, bestFresh = 0, bestAgain = 0, bestMixed = 0;
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
    }
    std::printf("best: plain COPY %.0f records/s; export to a new server %.0f records/s = %.2f of "
                "COPY (target >= 0.50); again %.0f records/s; server holding every 1000th %.0f "
                "records/s = %.2f of COPY\n",
                bestCopy, bestFresh, bestFresh / bestCopy, bestAgain, bestMixed,
                bestMixed / bestCopy);
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
        PQclear(PQexec(blocker, "COMMIT"));
        PQfinish(blocker);
        e.stop();
        std::printf("offer(), the monitor's side, record made included: %.0f ns a record while the "
                    "export keeps up; %.0f ns with the server holding writes back (%llu of "
                    "1000000 left out of the full queue)\n",
                    flowing, held, static_cast<unsigned long long>(c.dropped));
    }
    server.stopServer(false);
    fs::remove_all(dir);
    return 0;
}
