// dupmon-logtool on databases written by the database code and built by hand.
#include <gtest/gtest.h>

#include <functional>

#include <cstring>
#include <sstream>
#include <sys/wait.h>

#include "common/clock.h"
#include "common/text.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"
#include "logdb/logtool.h"
#include "logdb/report.h"
#include "registry/system_database.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> fromHex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

// One copy job with write protection, log number 9, as the controller sends it.
const char* kCopyRecordHex =
    "00000009 1A030F0A141E 000000 01 01 0000 00 10 0000000000" // no, date, kind, function, flags
    " 00F00000 00000000 00200000 00000000 00000000"            // capacity, -, data size, MB, error
    " 00000000 00000000 000003E7 004B 0000"                    // speeds, elapsed, copy, compare
    " 00 00 00 00 0781 5567 00000000 00000000 00000000" // area, -, result, burn-in, ids, loops
    " 0003 0200 00000000"                               // port, sector size
    " 34433533303030313233303531383131333539330000000000000000000000000000000000000000";
const char* kCopyLine =
    "0000010 2026-03-15 10:20:30  0003  PASS            COPY+WP(DATA,1024.0MB)  "
    "               01:15          7680.0MB(15728640)  0781h 5567h "
    "[4C530001230518113593]";

class LogTool : public TempDirTest {
protected:
    int run(std::vector<std::string> args) {
        out.str("");
        err.str("");
        return runLogTool(args, out, err, clock);
    }
    // A database built byte by byte: the header, one record, 5 bytes of a torn one.
    fs::path handBuiltDatabase() {
        std::vector<uint8_t> bytes(512, 0);
        const std::string title = "DUPLICATOR MONITOR JOB LOG DATABASE - 128-BYTE JOB-LOG RECORDS "
                                  "AFTER A 512-BYTE HEADER              ";
        std::copy(title.begin(), title.end(), bytes.begin());
        const std::string version = "2.01.10.03          ";
        std::copy(version.begin(), version.end(), bytes.begin() + 120);
        std::vector<uint8_t> record = fromHex(kCopyRecordHex);
        EXPECT_EQ(record.size(), 128u);
        bytes.insert(bytes.end(), record.begin(), record.end());
        bytes.insert(bytes.end(), 5, 0x77);
        fs::path db = dir / "HAND-01.QX42.LOGDATA";
        writeBytes(db, bytes.data(), bytes.size());
        return db;
    }
    // A database filled through the append path, three jobs on two days.
    fs::path appendedDatabase() {
        MachineInfo info = machine("LINE-01", "UB-16", "A1B2C3");
        fs::path db = logDatabasePath(dir, info);
        EXPECT_EQ(checkLogDatabase(db, info).result, PASS);
        RecordBytes a, b, c;
        a.job(0, 2026, 3, 15, 8, 0, 0, 1).u8(14, 1).be32(24, 2048).be32(32, 2048).be16(56, 61);
        b.job(1, 2026, 3, 15, 9, 0, 0, 2)
            .u8(14, 16)
            .u8(62, 17)
            .be32(24, 4096)
            .be32(32, 2048)
            .be32(52, 600);
        c.job(2, 2026, 3, 16, 7, 0, 0, 3)
            .u8(14, 1)
            .be32(24, 2048)
            .be32(32, 2048)
            .u8(13, 1)
            .be16(64, 0x0781)
            .be16(66, 0x5567)
            .bytes(88, "AB,\"C");
        for (const RecordBytes* r : {&a, &b, &c})
            lines.push_back(appendLogRecord(db, info, r->data(), 128, dir / "daily").reportLine);
        return db;
    }
    // A machine registry beside the databases that knows machine A1B2C3.
    void writeRegistry() {
        SYSTEM_DATABASE registry;
        ASSERT_EQ(registry.create((dir / "BRELLOCK_QX42.DB7").string()), PASS);
        MachineInfo other{}, machine{};
        std::strcpy(other.machineId, "OTHER-1");
        machine.deviceType = 3; // SD machine
        machine.support_LogRecord = 1;
        std::strcpy(machine.machineId, "A1B2C3");
        std::strcpy(machine.nickName, "FROM-REGISTRY");
        machine.maxDeviceQty = 24;
        std::strcpy(machine.modelName, "SD-24");
        std::strcpy(machine.version, "v3.1.4");
        int position = -1;
        ASSERT_TRUE(registry.addMachine(other, &position));
        ASSERT_TRUE(registry.addMachine(machine, &position)); // written at once
        ASSERT_EQ(position, 1);
    }

    std::ostringstream out, err;
    ManualClock clock{LocalTime{2026, 3, 15, 10, 0, 0, 0, 0}};
    std::vector<std::string> lines;
};

} // namespace

TEST_F(LogTool, InfoAndPrintOnAHandBuiltDatabase) {
    fs::path db = handBuiltDatabase();
    ASSERT_EQ(run({"info", db.string()}), 0) << err.str();
    EXPECT_EQ(out.str(), "database: " + db.string() +
                             "\n"
                             "check: DAMAGED TAIL\n"
                             "records: 1\n"
                             "first: 9 (No. 0000010) 2026-03-15 10:20:30\n"
                             "last: 9 (No. 0000010) 2026-03-15 10:20:30\n"
                             "damaged: its last 5 bytes are a record cut short, as an "
                             "interrupted write leaves them; they are no records\n"
                             "next sync: cuts them, then stores the records after No. 0000010 "
                             "behind the last record\n");
    ASSERT_EQ(run({"print", db.string()}), 0);
    EXPECT_EQ(out.str(), std::string(kCopyLine) + "\n");
}

// Slots of zeros behind the last record (written, or sparse) are a damaged
// tail, never records numbered 0: info says so and what the next sync does.
TEST_F(LogTool, InfoCallsATailOfZerosDamaged) {
    struct Case {
        const char* what;
        bool withRecord;
        std::function<void(const fs::path&)> damage;
        std::string expected;
    } cases[] = {
        {"written zeros", true,
         [](const fs::path& p) {
             std::vector<uint8_t> zeros(3 * 128 + 5, 0);
             writeBytes(p, zeros.data(), zeros.size(), true);
         },
         "check: DAMAGED TAIL\nrecords: 1\n"
         "first: 9 (No. 0000010) 2026-03-15 10:20:30\nlast: 9 (No. 0000010) 2026-03-15 10:20:30\n"
         "damaged: its last 389 bytes are no records: 3 record slots of zeros and a record cut "
         "short, as an interrupted write leaves them; they are no records\n"
         "next sync: cuts them, then stores the records after No. 0000010 behind the last "
         "record\n"},
        {"a sparse tail and no record", false,
         [](const fs::path& p) { fs::resize_file(p, 512 + 1024 * 128); },
         "check: DAMAGED TAIL\nrecords: 0\n"
         "damaged: its last 131072 bytes hold only zeros (1024 record slots), as an interrupted "
         "write leaves them; they are no records\n"
         "next sync: cuts them, then stores the records of the machine's whole job log behind "
         "the header\n"},
    };
    for (const Case& c : cases) {
        fs::path db = handBuiltDatabase();
        fs::resize_file(db, c.withRecord ? 512 + 128 : 512);
        c.damage(db);
        ASSERT_EQ(run({"info", db.string()}), 0) << c.what << err.str();
        EXPECT_EQ(out.str(), "database: " + db.string() + "\n" + c.expected) << c.what;
    }
}

TEST_F(LogTool, PrintSelectsADateRange) {
    fs::path db = appendedDatabase();
    ASSERT_EQ(run({"print", db.string()}), 0);
    EXPECT_EQ(out.str(), lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n");
    ASSERT_EQ(run({"print", db.string(), "--from", "2026-03-16"}), 0);
    EXPECT_EQ(out.str(), lines[2] + "\n");
    ASSERT_EQ(run({"print", db.string(), "--to", "2026-03-15"}), 0);
    EXPECT_EQ(out.str(), lines[0] + "\n" + lines[1] + "\n");
    EXPECT_EQ(run({"info", db.string()}), 0);
    EXPECT_NE(out.str().find("last: 2 (No. 0000003) 2026-03-16 07:00:00\n"), std::string::npos);
}

TEST_F(LogTool, CsvHasTheViewerColumnsAndRawFields) {
    fs::path db = appendedDatabase();
    ASSERT_EQ(run({"csv", db.string()}), 0) << err.str();
    EXPECT_EQ(
        out.str(),
        "  No.,Date-Time,Port,Result,Function,RUN Time,Capacity(Sector),media info,log_number,"
        "date_time,port_number,function_number,result_code,capacity_sectors,sector_size,"
        "run_time_seconds\r\n"
        "00001,2026-03-15 08:00:00,1,PASS,\"COPY(DATA,1.0MB)\",01:01,1.0MB(2048),,0,"
        "2026-03-15T08:00:00,1,1,0,2048,512,61\r\n"
        "00002,2026-03-15 09:00:00,2,Size Not Match,CAPACITY CHECK,10:00,2.0MB(4096),\",Real "
        "Size=1.0MB\",1,2026-03-15T09:00:00,2,16,17,4096,512,600\r\n"
        "00003,2026-03-16 07:00:00,3,PASS,\"COPY(DATA,1.0MB)\",00:00,1.0MB(2048),\"0781h 5567h "
        "[AB,\"\"C]\",2,2026-03-16T07:00:00,3,1,0,2048,512,0\r\n");
}

TEST_F(LogTool, ReportWritesWhatSaveToFileWrites) {
    fs::path db = appendedDatabase();
    fs::path file = dir / "report.txt";
    ASSERT_EQ(run({"report", db.string(), "--from", "2026-03-15", "--to", "2026-03-15", "--out",
                   file.string(), "--nickname", "LINE-01", "--model", "UB-16", "--version",
                   "v2.40.7", "--ports", "16", "--device-type", "2"}),
              0)
        << err.str();
    EXPECT_EQ(out.str(), file.string() + ": 2 of 3 records\n");

    MachineInfo info = machine("LINE-01", "UB-16", "A1B2C3", 2, "v2.40.7", 16);
    ReportBuild build = buildReport(db, info, {2026, 3, 15}, {2026, 3, 15}, clock);
    EXPECT_EQ(readBytes(file), sealedReport(build.memo));
    EXPECT_NE(build.memo.find("  Machine ID: A1B2C3\r\n"), std::string::npos); // from the file name

    ASSERT_EQ(run({"verify", file.string()}), 0);
    std::vector<uint8_t> bytes = readBytes(file);
    SealCheck check = verifySeal(bytes.data(), bytes.size());
    EXPECT_EQ(out.str(),
              format("content length: %u (seal at %u)\nCRC: %08X (computed %08X)\nseal: OK\n",
                     check.contentLength, check.contentLength, check.storedCrc, check.storedCrc));

    bytes[200] ^= 0x20; // one byte changed
    writeBytes(file, bytes.data(), bytes.size());
    EXPECT_EQ(run({"verify", file.string()}), 1);
    EXPECT_NE(out.str().find("seal: MISMATCH\n"), std::string::npos);
}

TEST_F(LogTool, ReportTakesTheMachineFromTheRegistry) {
    fs::path db = appendedDatabase();
    writeRegistry();
    fs::path file = dir / "report.txt";
    ASSERT_EQ(run({"report", db.string(), "--from", "2026-03-01", "--to", "2026-03-31", "--out",
                   file.string(), "--ports", "20"}),
              0)
        << err.str();
    std::vector<uint8_t> bytes = readBytes(file);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(
        text.find("    Nickname: FROM-REGISTRY\r\n       Model: SD-24\r\n     F/W Ver: 3.1.4\r\n"
                  "  Machine ID: A1B2C3\r\n    Port Qty: 20\r\n"),
        std::string::npos);
    EXPECT_NE(text.find("  CID\r\n"), std::string::npos); // SD machine headings
    EXPECT_TRUE(verifySeal(bytes.data(), bytes.size()).valid);
    ASSERT_EQ(run({"csv", db.string()}), 0);
    EXPECT_EQ(out.str().substr(0, out.str().find(",log_number")),
              "  No.,Date-Time,Port,Result,Function,RUN Time,Capacity(Sector),"
              "MID OID Name Revision  YearMonth Serial No.");
}

// The three jobs of appendedDatabase: a copy passed on port 1 in 61 s (day
// 15, hour 8), a capacity check failed "Size Not Match" on port 2 (day 15,
// hour 9), a copy passed on port 3 in 0 s (day 16, hour 7).
TEST_F(LogTool, StatsPrintsTheFiguresAsCsv) {
    fs::path db = appendedDatabase();
    ASSERT_EQ(run({"stats", db.string(), "--csv"}), 0) << err.str();
    EXPECT_EQ(out.str(),
              "scope,day,port,function,function_name,pass,fail,abort,start,yield_percent,"
              "working_hours,copies_per_hour,run_seconds_mean,run_seconds_sd,write_mb_s_mean,"
              "write_mb_s_sd,read_mb_s_mean,read_mb_s_sd,failing_lba_count,failing_lba_min,"
              "failing_lba_max,failing_lba_mean,failing_lba_sd,stands_out,p_value\r\n"
              // 2 of 3 passed; hours 8 and 9 of the 15th, 7 of the 16th; runs 61 s and 0 s
              "machine,,,,,2,1,0,0,66.67,3,0.67,30.50,30.50,,,,,0,,,,,,\r\n"
              // Port 2's one failure beside two passes elsewhere: p = 1 - 3/4 = 0.25, times
              // the three ports tested.
              "port,,1,,,1,0,0,0,100.00,,,61.00,0.00,,,,,0,,,,,0,1.0000\r\n"
              "port,,2,,,0,1,0,0,0.00,,,,,,,,,0,,,,,0,0.7500\r\n"
              "port,,3,,,1,0,0,0,100.00,,,0.00,0.00,,,,,0,,,,,0,1.0000\r\n"
              "day,2026-03-15,,,,1,1,0,0,50.00,2,0.50,,,,,,,,,,,,,\r\n"
              "day,2026-03-16,,,,1,0,0,0,100.00,1,1.00,,,,,,,,,,,,,\r\n"
              // No speeds were recorded: the write and read columns stay empty.
              "function,,,1,COPY,2,0,0,0,100.00,,,30.50,30.50,,,,,0,,,,,,\r\n"
              "function,,,16,CAPACITY CHECK,0,1,0,0,0.00,,,,,,,,,0,,,,,,\r\n"
              "day_function,2026-03-15,,1,COPY,1,0,0,0,100.00,,,,,,,,,,,,,,,\r\n"
              "day_function,2026-03-15,,16,CAPACITY CHECK,0,1,0,0,0.00,,,,,,,,,,,,,,,\r\n"
              "day_function,2026-03-16,,1,COPY,1,0,0,0,100.00,,,,,,,,,,,,,,,\r\n");

    // A range of one day, as text.
    ASSERT_EQ(run({"stats", db.string(), "--from", "2026-03-16", "--to", "2026-03-16"}), 0);
    const std::string text = out.str();
    for (const char* line : {"range: 2026-03-16 to 2026-03-16\n", "records: 1 in range of 3\n",
                             "pass 1  fail 0  user abort 0  burn-in start 0\n",
                             "yield 100.00%  failure rate 0.00%\n", "ports that stand out: none\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    // JSON: the same counts.
    ASSERT_EQ(run({"stats", db.string(), "--json", "--to", "2026-03-15"}), 0);
    EXPECT_NE(out.str().find("\"range\": {\"from\": null, \"to\": \"2026-03-15\"},\n"
                             "  \"records\": 3,\n  \"in_range\": 2,\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("\"machine\": {\"pass\": 1, \"fail\": 1, \"abort\": 0, \"start\": 0, "
                             "\"yield_percent\": 50.0000, \"working_hours\": 2, "
                             "\"copies_per_hour\": 0.5000"),
              std::string::npos)
        << out.str();
}

TEST_F(LogTool, ProblemsGiveOneLineAndAnExitStatus) {
    fs::path db = appendedDatabase();
    fs::path missing = dir / "missing.QX42.LOGDATA";
    struct {
        std::vector<std::string> args;
        int status;
        std::string message; // start of the first line on stderr
    } cases[] = {
        {{}, 2, "dupmon-logtool: no command\n"},
        {{"dump", db.string()}, 2, "dupmon-logtool: unknown command 'dump'\n"},
        {{"print"}, 2, "dupmon-logtool: 'print' needs a file\n"},
        {{"print", db.string(), "--from", "2026-02-30"},
         2,
         "dupmon-logtool: --from '2026-02-30' is not a date (YYYY-MM-DD)\n"},
        {{"print", db.string(), "--from", "2026-03-16", "--to", "2026-03-15"},
         2,
         "dupmon-logtool: --from lies after --to\n"},
        {{"print", db.string(), "--color"}, 2, "dupmon-logtool: unexpected argument '--color'\n"},
        {{"print", missing.string()},
         1,
         "dupmon-logtool: " + missing.string() + ": does not exist (DATABASE_NOT_EXIST)\n"},
        {{"info", missing.string()},
         1,
         "dupmon-logtool: " + missing.string() + ": does not exist (DATABASE_NOT_EXIST)\n"},
        {{"info", dir.string()},
         1,
         "dupmon-logtool: " + dir.string() + ": is a folder, not a file (DATABASE_CORRUPT)\n"},
        {{"csv", dir.string()},
         1,
         "dupmon-logtool: " + dir.string() + ": is a folder, not a file (DATABASE_CORRUPT)\n"},
        {{"report", db.string(), "--from", "2026-03-15"},
         2,
         "dupmon-logtool: report needs --from, --to and --out\n"},
        {{"report", db.string(), "--from", "2026-03-16", "--to", "2026-03-15", "--out", "x"},
         2,
         "dupmon-logtool: " + db.string() + ": Illegal Date !\n"},
        {{"report", db.string(), "--from", "2026-03-15", "--to", "2026-03-15", "--out",
          (dir / "none" / "r.txt").string()},
         1,
         "dupmon-logtool: " + (dir / "none" / "r.txt").string() + ": Can't Create File !\n"},
        {{"verify", db.string()}, 1, "dupmon-logtool: " + db.string() + ": no seal found\n"},
        {{"verify", missing.string()}, 1, "dupmon-logtool: " + missing.string() + ": "},
        {{"stats", missing.string()},
         1,
         "dupmon-logtool: " + missing.string() + ": does not exist (DATABASE_NOT_EXIST)\n"},
        {{"stats", db.string(), "--csv", "--json"},
         2,
         "dupmon-logtool: stats prints --csv or --json, not both\n"},
        {{"stats", db.string(), "--from"}, 2, "dupmon-logtool: option '--from' needs a value\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args), c.status) << c.message;
        EXPECT_EQ(err.str().substr(0, c.message.size()), c.message);
    }
    // A database without records has nothing to report.
    MachineInfo empty = machine("E", "M", "EMPTY");
    ASSERT_EQ(checkLogDatabase(logDatabasePath(dir, empty), empty).result, PASS);
    EXPECT_EQ(run({"report", logDatabasePath(dir, empty).string(), "--from", "2026-03-15", "--to",
                   "2026-03-15", "--out", (dir / "e.txt").string()}),
              1);
    EXPECT_NE(err.str().find("no contents need to be saved !"), std::string::npos);
}

TEST_F(LogTool, TheProgramRunsOnARealDatabase) {
    fs::path db = handBuiltDatabase();
    fs::path report = dir / "r.txt";
    auto sh = [&](const std::string& args) {
        std::string cmd = std::string(DUPMON_LOGTOOL) + " " + args + " >" +
                          (dir / "out.txt").string() + " 2>" + (dir / "err.txt").string();
        int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(sh("print " + db.string()), 0);
    EXPECT_EQ(readText(dir / "out.txt"), std::string(kCopyLine) + "\n");
    EXPECT_EQ(
        sh("report " + db.string() + " --from 2026-03-15 --to 2026-03-15 --out " + report.string()),
        0);
    EXPECT_EQ(sh("verify " + report.string()), 0);
    EXPECT_NE(readText(dir / "out.txt").find("seal: OK"), std::string::npos);
    std::vector<uint8_t> bytes = readBytes(report);
    bytes[0] ^= 1;
    writeBytes(report, bytes.data(), bytes.size());
    EXPECT_EQ(sh("verify " + report.string()), 1);
    EXPECT_EQ(sh("nothing"), 2);
    EXPECT_NE(readText(dir / "err.txt").find("unknown command 'nothing'"), std::string::npos);
}
