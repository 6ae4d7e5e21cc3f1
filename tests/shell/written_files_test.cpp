// Every file the program writes, with a pipe or a link at its name, a link
// planted at the name of its temporary file, or the working folder removed
// in the middle of the run. Each case runs in a child process under a time
// limit: nothing hangs, nothing is written through a link planted in the
// working folder (a file the operator chose is written where its link
// points), nothing is made again in a removed folder, and what could not be
// written says so.
//
// To add a file: write a Writer (its place, how the program writes it, and
// what came of it as one line of text) and its expected outcome for each case.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bad_files_support.h"
#include "common/byte_order.h"
#include "common/file_io.h"
#include "common/position_file.h"
#include "common/result_codes.h"
#include "connection/machine.h"
#include "devinfo/get_device_info.h"
#include "hidlink/usbhidioc.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"
#include "logdb/log_viewer.h"
#include "logdb/report.h"
#include "machine_window/window_texts.h"
#include "master_usb/download_texts.h"
#include "registry/system_database.h"
#include "shell/window_position.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"
#include "support/test_ui.h"

using namespace dupmon;
using namespace dupmon::badfiles;

namespace {

enum class Put { Pipe, LinkAtName, PlantedNew, FolderRemoved };

const char* putName(Put p) {
    switch (p) {
    case Put::Pipe:
        return "a pipe at its name";
    case Put::LinkAtName:
        return "a link at its name";
    case Put::PlantedNew:
        return "a link planted at <name>.new";
    case Put::FolderRemoved:
        return "the working folder removed mid-run";
    }
    return "?";
}

using MidRun = std::function<void()>;

struct Writer {
    const char* name;
    fs::path file; // under the working folder
    // Runs in the child: writes the file as the program does, calling midRun
    // where the working folder may vanish; what came of it, as one line.
    std::function<std::string(const fs::path& work, const fs::path& file, const MidRun& midRun)>
        write;
    // The operator chose the file in a dialog: a link at its name is followed.
    bool operatorChosen = false;
    std::map<Put, const char*> expect;
};

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string written(bool ok) {
    return ok ? "written" : "not written";
}

// The device-information window's core with a parameter file naming the
// append and check-ID files.
std::unique_ptr<GetDeviceInfoCore> deviceInfoCore(const fs::path& work, const std::string& append,
                                                  const std::string& checkIds, const Clock& clock,
                                                  UiServices& ui) {
    std::ofstream(work / kDeviceInfoParameterFile)
        << formatDeviceInfoParameters("p", 30, 40, 500, 400, append, checkIds);
    auto core = std::make_unique<GetDeviceInfoCore>(work, clock, ui);
    core->create(1920, 1080);
    return core;
}

// A machine with a job log of three records, identified by a connection
// whose log store and debug file live in the working folder.
std::string monitorRun(const fs::path& work, const MidRun& midRun) {
    ManualClock clock{{2026, 3, 15, 10, 0, 0, 0, 0}};
    VirtualBus bus(clock);
    auto standIn = StandInController::create("usb10", clock, "M-1");
    standIn->machine().preloadLog(3);
    const std::string path = bus.plug(standIn, 0x6C15, standIn->profile().productId);
    CUsbhidioc link(bus);
    link.openByPath(path, 0x6C15, standIn->profile().productId);
    TestUi ui;
    MACHINE machine(clock, ui);
    machine.setWorkingDirectory(work);
    machine.setSyncInterval(0);
    fs::create_directories(work / "DATABASE");
    fs::create_directories(work / "DEBUG_SESSION");
    machine.connect(&CUsbhidioc::takeFrameCallback, &link, &CUsbhidioc::sendFrameCallback, &link,
                    nullptr, nullptr, work / "DEBUG_SESSION", work / "DATABASE", 0, 0);
    auto run = [&](uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            clock.advance(1);
            bus.pump();
            if (link.awaitingReply())
                link.pollInput();
            machine.step();
        }
    };
    run(8000);
    midRun();
    standIn->machine().preloadLog(5);
    run(8000);
    const auto db = readLogDatabase(work / "DATABASE" / "M-1.QX42.LOGDATA");
    std::string out = std::string(machine.debugFileOpen() ? "debug file open" : "no debug file") +
                      ", records " + std::to_string(db.count) + ", last " +
                      std::to_string(machine.info().lastStoredLogNo);
    for (const auto& m : ui.messages)
        out += ", box: " + m.text;
    return out;
}

std::vector<Writer> writers() {
    MachineInfo m = sampleMachine();
    return {
        {"registry",
         "DATABASE/BRELLOCK_QX42.DB7",
         [](const fs::path&, const fs::path& file, const MidRun& midRun) -> std::string {
             SYSTEM_DATABASE db;
             int code = db.open(file.string());
             if (code == DATABASE_NOT_EXIST)
                 code = db.create(file.string());
             if (code != PASS)
                 return db.failureText(code, file.string());
             midRun();
             MachineInfo machine = sampleMachine();
             db.updateMachine(0, machine);
             const int w = db.write();
             return w == PASS ? "written" : db.failureText(w, file.string());
         },
         false,
         {{Put::Pipe, "DATABASE_CORRUPT\n{file}: is not a regular file"},
          {Put::PlantedNew, "written"},
          {Put::FolderRemoved,
           "DATABASE_CREATE_FAIL\n{file}: cannot be created: No such file or directory"}}},
        {"main window position file",
         kMainWindowParameterFile,
         [](const fs::path&, const fs::path& file, const MidRun& midRun) {
             midRun();
             return written(saveWindowPosition(file, {10, 20, 800, 600}));
         },
         false,
         {{Put::Pipe, "not written"},
          {Put::LinkAtName, "not written"},
          {Put::PlantedNew, "written"},
          {Put::FolderRemoved, "not written"}}},
        {"machine window placement file",
         "DATABASE/M-1.qz9.par",
         [](const fs::path&, const fs::path& file, const MidRun& midRun) {
             midRun();
             return written(writePositionFile(file, "M-1 ", {100, 50, 1150, 368}));
         },
         false,
         {{Put::Pipe, "not written"},
          {Put::LinkAtName, "not written"},
          {Put::PlantedNew, "written"},
          {Put::FolderRemoved, "not written"}}},
        {"log viewer position file",
         "DATABASE/M-1.qz9.log.par",
         [](const fs::path&, const fs::path& file, const MidRun& midRun) {
             midRun();
             return written(writePositionFile(file, "M-1 ", {5, 6, 700, 500}));
         },
         false,
         {{Put::Pipe, "not written"},
          {Put::LinkAtName, "not written"},
          {Put::PlantedNew, "written"},
          {Put::FolderRemoved, "not written"}}},
        {"device information parameter file",
         kDeviceInfoParameterFile,
         [](const fs::path& work, const fs::path& file, const MidRun& midRun) {
             ManualClock clock;
             TestUi ui;
             GetDeviceInfoCore core(work, clock, ui);
             core.create(1920, 1080);
             midRun();
             core.destroy(1, 2, 3, 4);
             return written(fs::is_regular_file(file) &&
                            readAll(file).find("1 2 3 4 \n") != std::string::npos);
         },
         false,
         {{Put::Pipe, "not written"},
          {Put::LinkAtName, "not written"},
          {Put::PlantedNew, "written"},
          {Put::FolderRemoved, "not written"}}},
        {"download source parameter file",
         kDownloadParameterFile,
         [](const fs::path&, const fs::path& file, const MidRun& midRun) {
             midRun();
             DownloadParameters p;
             p.label = "MASTER";
             const FileWrite w = writeWholeFile(file, formatDownloadParameters(p));
             return w ? std::string("written") : "not written: " + w.problem;
         },
         false,
         {{Put::Pipe, "not written: is not a regular file"},
          {Put::LinkAtName, "not written: is a symbolic link; it is left as it is"},
          {Put::PlantedNew, "written"},
          {Put::FolderRemoved, "not written: cannot be created: No such file or directory"}}},
        {"check-ID file",
         "ids.txt",
         [](const fs::path& work, const fs::path& file, const MidRun& midRun) {
             ManualClock clock;
             TestUi ui;
             auto core = deviceInfoCore(work, "", file.string(), clock, ui);
             midRun();
             core->checkSerial(5);
             core->showResult("Device Quantity = 1\r\n");
             return "ids " + std::to_string(core->checkIds().size()) + ", " +
                    written(fs::is_regular_file(file) &&
                            readAll(file).find("5\n") != std::string::npos);
         },
         true,
         {{Put::Pipe, "ids 1, not written"},
          {Put::LinkAtName, "ids 1, written"},
          {Put::PlantedNew, "ids 1, written"},
          {Put::FolderRemoved, "ids 1, not written"}}},
        {"device information append file",
         "append.txt",
         [](const fs::path& work, const fs::path& file, const MidRun& midRun) {
             ManualClock clock;
             TestUi ui;
             auto core = deviceInfoCore(work, file.string(), "", clock, ui);
             midRun();
             core->showResult("Device Quantity = 1\r\n");
             return std::string("shown [") + core->memo() + "], " +
                    written(fs::is_regular_file(file) &&
                            readAll(file).find("Device Quantity = 1\n") != std::string::npos);
         },
         true,
         {{Put::Pipe, "shown [Device Quantity = 1\r\n], not written"},
          {Put::LinkAtName, "shown [Device Quantity = 1\r\n], written"},
          {Put::FolderRemoved, "shown [Device Quantity = 1\r\n], not written"}}},
        {"sealed report",
         "report.txt",
         [](const fs::path&, const fs::path& file, const MidRun& midRun) -> std::string {
             midRun();
             const ReportSaveStatus status = saveReport(file, "0000001 a line\r\n");
             return status == ReportSaveStatus::Saved ? "saved" : reportSaveMessage(status).text;
         },
         true,
         {{Put::Pipe, "Can't Create File !"},
          {Put::LinkAtName, "saved"},
          {Put::PlantedNew, "saved"},
          {Put::FolderRemoved, "Can't Create File !"}}},
        {"daily text file",
         "Left/Left(2026-03-15).txt",
         [m](const fs::path& work, const fs::path&, const MidRun& midRun) mutable {
             fs::create_directories(work / "DATABASE");
             LogStore store;
             if (store.open(work / "DATABASE" / "M-1.QX42.LOGDATA", m, work).result != PASS)
                 return "not opened: " + store.problem();
             uint8_t r[kLogRecordSize] = {};
             writeBE32(r, 69);
             r[4] = 26, r[5] = 3, r[6] = 15;
             store.append(r, sizeof r, m);
             midRun();
             writeBE32(r, 70);
             const AppendedRecord a = store.append(r, sizeof r, m);
             const fs::path daily = work / "Left" / "Left(2026-03-15).txt";
             if (!a.stored)
                 return "not stored, last " + std::to_string(m.lastStoredLogNo) + ": " +
                        errorName(store.failure()) + ": " + store.problem();
             return "stored, last " + std::to_string(m.lastStoredLogNo) + ", " +
                    (fs::is_regular_file(fs::symlink_status(daily)) ? "lines written" : "no line");
         },
         false,
         {{Put::Pipe, "stored, last 70, no line"},
          {Put::LinkAtName, "stored, last 70, no line"},
          {Put::FolderRemoved,
           "not stored, last 69: DATABASE_NOT_EXIST: was removed while job-log records were "
           "stored in it; nothing more is stored until it can be opened again"}}},
        {"monthly debug file",
         "DEBUG_SESSION/M-1(202603).txt",
         [](const fs::path& work, const fs::path&, const MidRun& midRun) {
             return monitorRun(work, midRun);
         },
         false,
         {{Put::Pipe, "no debug file, records 8, last 7"},
          {Put::LinkAtName, "no debug file, records 8, last 7"},
          {Put::FolderRemoved,
           "no debug file, records 0, last 2, box: DATABASE_NOT_EXIST\n{work}/DATABASE/"
           "M-1.QX42.LOGDATA: was removed while job-log records were stored in it; nothing "
           "more is stored until it can be opened again\nNo job-log record of this machine is "
           "fetched until it can be stored."}}},
    };
}

} // namespace

TEST_F(BadFiles, EveryWrittenFileMeetsPipesLinksAndAVanishedFolderWithoutHarm) {
    for (const Writer& writer : writers()) {
        for (Put put : {Put::Pipe, Put::LinkAtName, Put::PlantedNew, Put::FolderRemoved}) {
            const auto e = writer.expect.find(put);
            if (e == writer.expect.end())
                continue;
            const std::string what = std::string(writer.name) + ", " + putName(put);
            fs::remove_all(dir);
            const fs::path work = dir / "work";
            const fs::path file = work / writer.file;
            fs::create_directories(file.parent_path());
            const fs::path target = dir / "outside" / "target";
            fs::create_directories(target.parent_path());
            std::ofstream(target) << "kept\n";
            const fs::path planted = file.string() + ".new";
            if (put == Put::Pipe) {
                ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0) << what;
            }
            if (put == Put::LinkAtName)
                fs::create_symlink(target, file);
            if (put == Put::PlantedNew)
                fs::create_symlink(target, planted);
            const MidRun midRun = [&] {
                if (put == Put::FolderRemoved)
                    fs::remove_all(work);
            };

            const CaseResult got =
                runIsolated([&] { return writer.write(work, file, midRun); }, 10);
            EXPECT_EQ(got.failure, "") << what;
            std::string expected = substitute(e->second, file);
            for (size_t at; (at = expected.find("{work}")) != std::string::npos;)
                expected.replace(at, 6, work.string());
            EXPECT_EQ(got.outcome, expected) << what;

            // What was there stays; a link is written through only where
            // the operator chose it; a removed folder is not made again.
            if (put == Put::Pipe) {
                EXPECT_TRUE(fs::is_fifo(fs::symlink_status(file))) << what;
            }
            if (put == Put::LinkAtName) {
                EXPECT_TRUE(fs::is_symlink(file)) << what;
                EXPECT_EQ(readAll(target) == "kept\n", !writer.operatorChosen) << what;
            }
            if (put == Put::PlantedNew) {
                EXPECT_TRUE(fs::is_symlink(planted)) << what;
                EXPECT_EQ(readAll(target), "kept\n") << what;
            }
            if (put == Put::FolderRemoved) {
                EXPECT_FALSE(fs::exists(work)) << what;
            }
            std::error_code ec;
            for (const auto& f : fs::recursive_directory_iterator(work, ec)) {
                EXPECT_EQ(f.path().filename().string().find(".new-"), std::string::npos)
                    << what << ": " << f.path();
            }
        }
    }
}
