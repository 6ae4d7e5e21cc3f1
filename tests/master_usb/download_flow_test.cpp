// The download flow end to end over a stand-in duplicator and simulated
// drives: every outcome the operator can meet, and what reaches the machine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <unistd.h>

#include "flow_support.h"
#include "master_usb/download_texts.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::writeFile;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed * 31 + i);
    return v;
}

bool sparse(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::ftruncate(fd, off_t(size)) == 0;
    ::close(fd);
    return ok;
}

// The operator presses STOP once the progress window shows; the walker waits
// inside its first file until the stop reaches it.
void abortInFirstFile(FlowRig& rig) {
    rig.flow->walker().setSleep([](int) {});
    rig.flow->walker().setHook([&rig](DO_DIR::HookPoint p, const std::string&) {
        if (p == DO_DIR::HookPoint::SourceOpened)
            while (!rig.flow->walker().stopRequested())
                std::this_thread::yield();
    });
    rig.eachPass = [&rig] {
        if (rig.view.progressShown)
            rig.flow->requestAbort();
    };
}

} // namespace

TEST(DownloadFlow, RefillsTheMasterHandsItBackAndStartsTheJob) {
    FlowRig rig;
    const std::string src = rig.flow->parameters().sourceDirectory;
    fs::create_directories(src + "/images/deep");
    writeFile(src + "/readme.txt", bytes(1234, 1));
    writeFile(src + "/images/a.img", bytes(300000, 2));
    writeFile(src + "/images/deep/b.bin", bytes(76, 3));

    rig.go(1, 2, "master");

    EXPECT_EQ(rig.flow->result(), 0);
    const std::vector<std::string> expected = {
        "Checking the source folder ...",
        "Checking Master USB ...",
        "Start FORMAT FAT32",
        "Format Complete !",
        "Calculating the number of files ...",
        "Total File Count = 4",
        "Total File Size = 0.3 MByte (301320 Bytes)",
        "Start COPY FILE",
        "COPY Complete !",
        "Synchronize device ...",
        "Finish !",
    };
    EXPECT_EQ(rig.view.texts(), expected);
    for (const auto& line : rig.view.memo)
        EXPECT_TRUE(
            std::regex_match(line.substr(0, 9), std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9] ")))
            << line;
    // The copy is real.
    EXPECT_EQ(readFile(rig.volume() + "/readme.txt"), bytes(1234, 1));
    EXPECT_EQ(readFile(rig.volume() + "/images/a.img"), bytes(300000, 2));
    EXPECT_EQ(readFile(rig.volume() + "/images/deep/b.bin"), bytes(76, 3));
    EXPECT_EQ(rig.flow->copiedFiles(), 4u);
    EXPECT_EQ(rig.flow->copiedBytes(), 301320u);
    // Asked once, before the partition, naming the stick and what replaces its contents.
    ASSERT_EQ(rig.h.ui.questions.size(), 1u);
    EXPECT_EQ(rig.h.ui.questions[0].caption, "Warning");
    EXPECT_EQ(rig.h.ui.questions[0].text,
              "Erase the master stick of machine " + rig.standIn->machine().machineId +
                  "?\n\nThe stick: \"MASTER\" (7450 MiB, DUPMON Simulated Stick)\n\nEverything "
                  "on it is erased and replaced by the 4 files (0.3 MByte) of " +
                  src + " on a new FAT32 volume.");

    // The drive operations in order, on the master stick only.
    const std::string name = SimulatedDrives::masterDriveName(*rig.standIn);
    const std::vector<std::string> calls = {"read " + name,
                                            "partition " + name + " 7440 FAT32",
                                            "format " + name + " FAT32 'MASTER'",
                                            "mount " + name,
                                            "mount " + name,
                                            "flush " + name,
                                            "eject " + name};
    EXPECT_EQ(rig.drives.calls(), calls);

    // Take with the identification value, hand back, then the Copy job.
    const auto take = rig.standIn->commands('X', 27);
    ASSERT_EQ(take.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(take[0].params.begin() + 1, take[0].params.begin() + 5),
              std::vector<uint8_t>(rig.flow->identification(), rig.flow->identification() + 4));
    EXPECT_TRUE(rig.sent('X', 25));
    EXPECT_TRUE(rig.sent('X', 28));
    EXPECT_TRUE(rig.sent('W', 42));
    EXPECT_FALSE(rig.sent('W', 81));
    EXPECT_FALSE(rig.standIn->machine().masterAtPc);
    EXPECT_EQ(rig.standIn->machine().state(), FN_COPY);
    EXPECT_TRUE(rig.view.windowClosed);
    EXPECT_TRUE(rig.view.controlsEnabled);
    EXPECT_EQ(rig.view.progressShown, 1);
    EXPECT_TRUE(rig.h.ui.messages.empty());
    // Every drive operation is in the machine's debug lines.
    EXPECT_TRUE(rig.logged("simulated drives: partition " + name + " 7440 FAT32"));
    EXPECT_TRUE(rig.logged("simulated drives: eject " + name));
}

TEST(DownloadFlow, JobCodesPickTheJobAndNoJobReleases) {
    struct Case {
        int job;
        int sub;
    } cases[] = {{0, 81}, {2, 44}, {3, 66}, {4, 67}};
    for (const Case& c : cases) {
        FlowRig rig;
        writeFile(rig.flow->parameters().sourceDirectory + "/f", bytes(10, 1));
        rig.go(c.job, 0);
        EXPECT_EQ(rig.flow->result(), 0) << c.job;
        EXPECT_TRUE(rig.sent('W', c.sub)) << c.job;
    }
}

TEST(DownloadFlow, DriveSearchOutcomes) {
    // Two new drives.
    {
        FlowRig rig;
        bool plugged = false;
        rig.eachPass = [&] {
            if (!plugged && rig.standIn->machine().masterAtPc) {
                rig.drives.plugDrive("sdz", 8000);
                plugged = true;
            }
        };
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_DRIVE_NOT_MATCH);
        EXPECT_TRUE(rig.view.has("TOO MANY USB DRIVE !"));
        EXPECT_EQ(rig.view.texts().back(),
                  "More than one removable drive appeared after the hand-over (sdz, " +
                      SimulatedDrives::masterDriveName(*rig.standIn) +
                      "): unplug the others and try again.");
        EXPECT_TRUE(rig.drives.calls().empty());
        EXPECT_TRUE(rig.message("Prepare to switch Master USB back to controller.", "Notice"));
        EXPECT_TRUE(rig.sent('X', 28));
        EXPECT_TRUE(rig.sent('W', 81));
        EXPECT_FALSE(rig.sent('W', 42));
        EXPECT_TRUE(rig.view.controlsEnabled);
        EXPECT_FALSE(rig.view.windowClosed);
    }
    // No new drive: three tries.
    {
        FlowRig rig(false);
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_DRIVE_NOT_MATCH);
        const std::vector<std::string> expected = {"Checking the source folder ...",
                                                   "Checking Master USB ...",
                                                   "TRY AGAIN [1]",
                                                   "TRY AGAIN [2]",
                                                   "USB DRIVE NOT MATCH",
                                                   "The machine handed its master over, but no "
                                                   "new removable drive appeared on this PC."};
        EXPECT_EQ(rig.view.texts(), expected);
        EXPECT_TRUE(rig.sent('X', 28));
    }
    // The new drive carries another identification value.
    {
        FlowRig rig;
        rig.drives.garbleIdentity = true;
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_ID_NOT_MATCH);
        EXPECT_TRUE(rig.view.has("USB DRIVE ID NOT MATCH"));
        EXPECT_EQ(rig.drives.calls().size(), 1u); // only the read
    }
    // Drives that were there before the take went away: fewer rows than before.
    {
        FlowRig rig;
        rig.drives.plugDrive("sdx", 4000);
        rig.drives.plugDrive("sdy", 4000);
        rig.eachPass = [&] {
            if (rig.standIn->machine().masterAtPc) {
                rig.drives.pullDrive("sdx");
                rig.drives.pullDrive("sdy");
            }
        };
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_DRIVE_NOT_FOUND);
        EXPECT_TRUE(rig.view.has("USB DRIVE NOT FOUND"));
        EXPECT_EQ(rig.view.texts().back(),
                  "The PC has fewer removable drives than before the hand-over (2, then 1): "
                  "leave the other drives plugged in while the master is refilled.");
    }
    // A drive that was there before stays out of the search.
    {
        FlowRig rig;
        rig.drives.plugDrive("sdy", 4000);
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), 0);
        EXPECT_TRUE(rig.callsStartingWith("partition sdy").empty());
    }
    // The first sector cannot be read.
    {
        FlowRig rig;
        rig.drives.failing["read"] = "permission denied";
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_CANNOT_READ);
        EXPECT_TRUE(rig.view.has("USB DRIVE CAN NOT READ"));
        EXPECT_TRUE(rig.view.has("Read first sector FAILED: permission denied"));
    }
}

TEST(DownloadFlow, AFixedDiskOfTheStartIsNeverOffered) {
    FlowRig rig;
    rig.drives.plugDrive("internal", 500000, true);
    rig.drives.takeFixedDiskSnapshot();
    for (const auto& row : rig.drives.scan())
        EXPECT_NE(row.name, "internal");
}

TEST(DownloadFlow, PartitionSizeFollowsTheFormatAndTheCapacity) {
    struct Case {
        uint32_t capacity;
        int format;
        uint64_t partition;
    } cases[] = {{1900, 1, 1900}, {4000, 1, 2000}, {2048, 1, 2048}, {4000, 0, 3990},
                 {4000, 3, 3990}, {4000, 4, 3990}, {4000, 7, 3990}};
    for (const Case& c : cases) {
        FlowRig rig(true, c.capacity);
        rig.go(0, c.format);
        EXPECT_EQ(rig.flow->result(), 0) << c.capacity << " " << c.format;
        EXPECT_EQ(rig.flow->partitionSize(), c.partition) << c.capacity << " " << c.format;
        const auto parts = rig.callsStartingWith("partition ");
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_NE(parts[0].find(" " + std::to_string(c.partition) + " "), std::string::npos)
            << parts[0];
    }
    FlowRig rig;
    rig.go(1, 5);
    EXPECT_EQ(rig.flow->result(), DownloadFlow::R_FORMAT_TYPE);
    EXPECT_TRUE(rig.view.has("FORMAT TYPE ERROR"));
    EXPECT_TRUE(rig.callsStartingWith("partition").empty());
}

TEST(DownloadFlow, SourceSizeAgainstThePartition) {
    // 1000 MiB of source needs 1050 MiB: a partition of 1049 is too small,
    // found before the stick is touched; one of 1050 starts the copy
    // (stopped here at once).
    struct Case {
        uint32_t capacity;
        bool fits;
    } cases[] = {{1059, false}, {1060, true}};
    for (const Case& c : cases) {
        FlowRig rig(true, c.capacity);
        std::filesystem::remove(rig.flow->parameters().sourceDirectory + "/seed.txt");
        ASSERT_TRUE(sparse(rig.flow->parameters().sourceDirectory + "/big.img", 1048576000ull));
        abortInFirstFile(rig);
        rig.go(1, 0);
        if (c.fits) {
            EXPECT_EQ(rig.flow->result(), DownloadFlow::R_USER_ABORT);
            EXPECT_TRUE(rig.view.has("Total File Size = 1000.0 MByte (1048576000 Bytes)"));
            EXPECT_TRUE(rig.view.has("Start COPY FILE"));
        } else {
            EXPECT_EQ(rig.flow->result(), DownloadFlow::R_SIZE_TOO_SMALL);
            EXPECT_TRUE(rig.view.has("USB SIZE TOO SMALL"));
            EXPECT_TRUE(rig.view.has("The source needs 1050 MiB; the master stick \"MASTER\" "
                                     "(1059 MiB, DUPMON Simulated Stick) gives it 1049 MiB."));
            EXPECT_TRUE(rig.h.ui.questions.empty());
            EXPECT_EQ(rig.drives.calls().size(), 1u); // the identification read only
            EXPECT_FALSE(rig.view.windowClosed);
        }
        // Either way the master was not filled: no job, the release instead.
        EXPECT_FALSE(rig.sent('W', 42));
        EXPECT_TRUE(rig.sent('W', 81));
        EXPECT_TRUE(rig.sent('X', 28));
    }
}

TEST(DownloadFlow, AFourGiBFileBlocksTheFatFormats) {
    struct Case {
        int format;
        uint64_t size;
        int result; // 0: the copy starts
    } cases[] = {
        {0, 4294967296ull, DownloadFlow::R_FILE_4GB},
        {2, 4294967296ull, DownloadFlow::R_FILE_4GB},
        {1, 4294967296ull, DownloadFlow::R_FILE_4GB},
        {3, 4294967296ull, 0},
        {4, 4294967296ull, 0},
        {2, 4294967295ull, 0},
    };
    for (const Case& c : cases) {
        FlowRig rig(true, 16000);
        ASSERT_TRUE(sparse(rig.flow->parameters().sourceDirectory + "/huge.img", c.size));
        abortInFirstFile(rig);
        rig.go(1, c.format);
        if (c.result) {
            EXPECT_EQ(rig.flow->result(), c.result) << c.format << " " << c.size;
            EXPECT_EQ(rig.view.progressShown, 0);
        } else {
            EXPECT_EQ(rig.view.progressShown, 1) << c.format << " " << c.size;
            EXPECT_EQ(rig.flow->result(), DownloadFlow::R_USER_ABORT);
        }
        if (c.result == DownloadFlow::R_FILE_4GB) {
            // Known before the master is taken.
            EXPECT_TRUE(rig.view.has("FILE 4GB SIZE"));
            EXPECT_FALSE(rig.sent('X', 25));
            EXPECT_TRUE(rig.drives.calls().empty());
        }
    }
}

TEST(DownloadFlow, LabelSwitchAndLabelChecks) {
    {
        FlowRig rig;
        rig.go(0, 2, "");
        EXPECT_EQ(rig.flow->labelSwitchText(), "/V: ");
        EXPECT_EQ(rig.callsStartingWith("format ").at(0),
                  "format " + SimulatedDrives::masterDriveName(*rig.standIn) + " FAT32 ''");
    }
    {
        FlowRig rig;
        rig.go(0, 3, "Master 1");
        EXPECT_EQ(rig.flow->labelSwitchText(), "/V:Master 1");
    }
    // A label the file system cannot take is refused before the stick is touched.
    struct Bad {
        int format;
        const char* label;
        const char* message;
    } bad[] = {
        {2, "MASTERSTICK1", "A FAT32 volume label holds at most 11 characters."},
        {1, "A*B", "A FAT volume label may not hold the character *."},
        {0, "A.B", "A FAT32 volume label may not hold the character .."},
        {3, "ABCDEFGHIJKL", "A EXFAT volume label holds at most 11 characters."},
        {4, "a:b", "A NTFS volume label may not hold the character :."},
    };
    for (const Bad& b : bad) {
        FlowRig rig;
        rig.go(1, b.format, b.label);
        EXPECT_TRUE(rig.message(b.message, "Warning")) << b.label;
        EXPECT_FALSE(rig.sent('X', 26)) << b.label;
        EXPECT_TRUE(rig.drives.calls().empty()) << b.label;
        EXPECT_TRUE(rig.view.controlsEnabled);
    }
    // FAT labels are made upper case.
    std::string label = "master";
    std::string message;
    EXPECT_TRUE(checkVolumeLabel(FileSystemKind::Fat16, label, message));
    EXPECT_EQ(label, "MASTER");
}

TEST(DownloadFlow, FormatCheckOfTheFreshVolume) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, uint64_t>> fresh;
        std::string reported;
        int volumeAfter;
        int result;
    } cases[] = {
        {"empty", {}, "", 0, 0},
        {"one system folder", {{"System Volume Information/", 0}}, "", 0, 0},
        {"system folder with one 76-byte file",
         {{"System Volume Information/IndexerVolumeGuid", 76}},
         "",
         0,
         0},
        {"system folder with 76 + 12 bytes",
         {{"System Volume Information/IndexerVolumeGuid", 76},
          {"System Volume Information/WPSettings.dat", 12}},
         "",
         0,
         0},
        {"a file left over", {{"old.txt", 5}}, "", 0, DownloadFlow::R_VOLUME_NOT_EMPTY},
        {"77 bytes",
         {{"System Volume Information/x", 77}},
         "",
         0,
         DownloadFlow::R_VOLUME_NOT_EMPTY},
        {"wrong file system", {}, "NTFS", 0, DownloadFlow::R_WRONG_FILE_SYSTEM},
        {"name in other case", {}, "fat32", 0, 0},
        {"volume shows late", {}, "", 15, 0},
        {"volume never shows", {}, "", 1000, DownloadFlow::R_VOLUME_MISSING},
    };
    for (const Case& c : cases) {
        FlowRig rig;
        rig.drives.freshVolumeFiles = c.fresh;
        rig.drives.reportedFileSystem = c.reported;
        rig.drives.volumeAppearsAfter = c.volumeAfter;
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), c.result) << c.name;
        EXPECT_EQ(rig.view.has("Format Complete !"), c.result == 0) << c.name;
        if (c.result) {
            EXPECT_TRUE(rig.message("Prepare to switch Master USB back to controller.", "Notice"));
            EXPECT_TRUE(rig.sent('X', 28));
            EXPECT_TRUE(rig.sent('W', 81));
            EXPECT_FALSE(rig.view.windowClosed);
        }
    }
}

TEST(DownloadFlow, UserAbortAndCopyFailureLeaveTheStickInPlace) {
    {
        FlowRig rig;
        for (int i = 0; i < 5; ++i)
            writeFile(rig.flow->parameters().sourceDirectory + "/f" + std::to_string(i),
                      bytes(3 * DownloadFlow::kBufferSize, uint8_t(i)));
        abortInFirstFile(rig);
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_USER_ABORT);
        EXPECT_TRUE(rig.view.has("USER COPY ABORT"));
        EXPECT_TRUE(rig.callsStartingWith("eject").empty());
        EXPECT_EQ(rig.callsStartingWith("release").size(), 1u);
        EXPECT_FALSE(rig.sent('W', 42));
        EXPECT_TRUE(rig.sent('W', 81));
        EXPECT_TRUE(rig.sent('X', 28));
        EXPECT_TRUE(rig.view.has("Finish !"));
    }
    {
        FlowRig rig;
        const std::string src = rig.flow->parameters().sourceDirectory;
        writeFile(src + "/shrinks", bytes(3 * DownloadFlow::kBufferSize, 1));
        rig.flow->walker().setSleep([](int) {});
        rig.flow->walker().setHook([&](DO_DIR::HookPoint p, const std::string& path) {
            if (p == DO_DIR::HookPoint::SourceOpened && rig.flow->walker().mode() == 13)
                (void)::truncate(path.c_str(), 10);
        });
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), DownloadFlow::R_COPY_FAILED);
        EXPECT_TRUE(rig.flow->copyFailed());
        EXPECT_TRUE(rig.view.has("Fail at Copy File !"));
        EXPECT_TRUE(rig.message("Fail at Copy File !", "ERROR"));
        EXPECT_TRUE(rig.callsStartingWith("eject").empty());
        EXPECT_FALSE(rig.sent('W', 42));
        EXPECT_TRUE(rig.sent('W', 81));
        const auto err = readFile(rig.tmp / "work/COPY_ERR.TXT");
        const std::string expected = src + "\r\n" + rig.flow->volumeRoot() + "\r\n\r\n";
        EXPECT_EQ(std::string(err.begin(), err.end()), expected);
    }
}

TEST(DownloadFlow, ASourceThatGoesDuringTheFormatEndsTheCopyPartWithoutAJob) {
    struct Case {
        const char* name;
        int result;
        const char* memo;
    } cases[] = {{"missing", DownloadFlow::R_DIRECTORY_NOT_FOUND, "DIRECTORY NOT FOUND"},
                 {"file", DownloadFlow::R_PARAMETER, "PARAMETER ERROR"}};
    for (const Case& c : cases) {
        FlowRig rig;
        const std::string path = rig.flow->parameters().sourceDirectory;
        rig.eachPass = [&] {
            if (rig.callsStartingWith("format").empty() || !fs::is_directory(path))
                return;
            fs::remove_all(path);
            if (std::string(c.name) == "file")
                writeFile(path, bytes(3, 1));
        };
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), c.result) << c.name;
        // Written without the time.
        EXPECT_NE(std::find(rig.view.memo.begin(), rig.view.memo.end(), c.memo),
                  rig.view.memo.end())
            << c.name;
        EXPECT_TRUE(rig.view.has("Format Complete !"));
        EXPECT_FALSE(rig.sent('W', 42));
        EXPECT_TRUE(rig.sent('W', 81));
        // The window stays open with the cause, and says what the stick holds now.
        EXPECT_FALSE(rig.view.windowClosed);
        EXPECT_EQ(rig.view.texts().back(),
                  "The master stick \"MASTER\" (7450 MiB, DUPMON Simulated Stick) of machine " +
                      rig.standIn->machine().machineId +
                      " holds none of the source files: its old contents are erased. Run "
                      "Download Source Files again before the machine copies from it.");
    }
}

TEST(DownloadFlow, AFailingStepIsNamedWithItsCause) {
    struct Case {
        const char* op;
        int result;
        const char* memo;
    } cases[] = {
        {"partition", DownloadFlow::R_PARTITION_FAILED, "Partition FAILED: sfdisk: exit 1"},
        {"format", DownloadFlow::R_VOLUME_MISSING, "Format FAILED: sfdisk: exit 1"},
        {"flush", DownloadFlow::R_COPY_FAILED, "Synchronize FAILED: sfdisk: exit 1"},
    };
    for (const Case& c : cases) {
        FlowRig rig;
        rig.drives.failing[c.op] = "sfdisk: exit 1";
        rig.go(1, 0);
        EXPECT_EQ(rig.flow->result(), c.result) << c.op;
        EXPECT_TRUE(rig.view.has(c.memo)) << c.op;
        EXPECT_TRUE(rig.logged(std::string(c.op) + " ")) << c.op;
        EXPECT_FALSE(rig.sent('W', 42)) << c.op;
        EXPECT_TRUE(rig.sent('X', 28)) << c.op;
    }
}

TEST(DownloadFlow, TakeRefusals) {
    {
        FlowRig rig;
        rig.standIn->machine().masterRejects = true;
        rig.go(1, 0);
        EXPECT_TRUE(rig.message("Bad Master USB !", "Warning"));
        EXPECT_FALSE(rig.sent('X', 25));
        EXPECT_TRUE(rig.view.controlsEnabled);
    }
    {
        FlowRig rig;
        rig.standIn->machine().removeMedium(0);
        rig.go(1, 0);
        EXPECT_TRUE(rig.message("Master USB doesn't exist !", "Warning"));
        EXPECT_FALSE(rig.sent('X', 27));
    }
    {
        FlowRig rig;
        ASSERT_EQ(rig.standIn->machine().startJob(FN_COPY, rig.h.clock.tickMs()), JOB_STARTED);
        rig.h.run(300);
        rig.go(1, 0);
        EXPECT_TRUE(rig.message("Unable to access Master USB !", "Warning"));
        EXPECT_FALSE(rig.sent('X', 26));
    }
}

TEST(DownloadFlow, ParametersAreSavedAtGoAndReadAtCreation) {
    FlowRig rig;
    const std::string src = rig.source("Quelle é");
    rig.flow->parameters().top = 40;
    rig.flow->parameters().left = 50;
    rig.flow->parameters().width = 500;
    rig.flow->parameters().height = 420;
    rig.go(3, 4, "LBL");
    const auto saved = readFile(rig.flow->parameterFilePath());
    const std::string text(saved.begin(), saved.end());
    EXPECT_EQ(text, "40 50 500 420 \n3\n4\nLBL\n" + toUtf16LeHex(src) + "\n");

    DownloadFlow again(rig.drives, rig.h.ui, rig.h.clock, rig.tmp / "work");
    ASSERT_TRUE(again.create());
    EXPECT_EQ(again.parameters().job, 3);
    EXPECT_EQ(again.parameters().format, 4);
    EXPECT_EQ(again.parameters().label, "LBL");
    EXPECT_EQ(again.parameters().sourceDirectory, src);
    EXPECT_EQ(again.parameters().width.value_or(0), 500);
}

TEST(DownloadFlow, HelperThreadForDriveOperations) {
    FlowRig rig;
    rig.flow->setJobsInline(false);
    writeFile(rig.flow->parameters().sourceDirectory + "/f", bytes(5000, 9));
    // Give the helper thread real time while the manual clock moves.
    rig.eachPass = [] { std::this_thread::yield(); };
    rig.go(1, 0);
    EXPECT_EQ(rig.flow->result(), 0);
    EXPECT_EQ(readFile(rig.volume() + "/f"), bytes(5000, 9));
    EXPECT_TRUE(rig.sent('W', 42));
}

TEST(DownloadFlow, TheProgramEndingDuringAFormatIsNotHeldByIt) {
    FlowRig rig;
    rig.flow->setJobsInline(false);
    writeFile(rig.flow->parameters().sourceDirectory + "/f", bytes(10, 1));
    // An hour: were the format waited for, the test would not end.
    rig.drives.formatMs = 3600000;
    rig.eachPass = [&] {
        std::this_thread::yield();
        if (rig.drives.formatting())
            rig.h.ui.maxPasses = rig.h.ui.passes; // the program is closing
    };
    rig.go(1, 2);
    EXPECT_FALSE(rig.flow->running());
    EXPECT_EQ(rig.flow->state(), DownloadFlow::S_DONE);
    const auto memo = rig.view.texts();
    ASSERT_FALSE(memo.empty());
    EXPECT_EQ(memo.back(), "The program ended during Download Source Files: the master stick "
                           "\"MASTER\" (7450 MiB, DUPMON Simulated Stick) of machine " +
                               std::string(rig.standIn->machine().machineId) +
                               " was being prepared and holds none of the source files and is "
                               "still at the PC.");
    EXPECT_TRUE(rig.logged("Download: The program ended"));
    // The flow gives the format up when it goes (the worker is joined).
    rig.flow.reset();
    EXPECT_FALSE(rig.drives.formatting());
}

TEST(DownloadTexts, ParameterFileAndProgressArithmetic) {
    EXPECT_EQ(toUtf16LeHex("/a"), "2F006100");
    EXPECT_EQ(toUtf16LeHex("é"), "E900");
    EXPECT_EQ(toUtf16LeHex("\xF0\x9F\x98\x80"), "3DD800DE"); // a surrogate pair
    EXPECT_EQ(fromUtf16LeHex("3DD800DE"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fromUtf16LeHex("2f006100"), "/a");
    EXPECT_EQ(fromUtf16LeHex("2Z00"), std::string(1, '\x20')); // a stray digit counts as 0

    const DownloadParameters p = parseDownloadParameters("1 2 x 4 \n2\n3\nL\n41004200\n");
    EXPECT_FALSE(p.top.has_value()); // all four numbers, or none
    EXPECT_EQ(p.job, 2);
    EXPECT_EQ(p.sourceDirectory, "AB");

    EXPECT_FALSE(progressTick(0, 0, false).act);
    const ProgressTick end = progressTick(1000, 1000, false);
    EXPECT_TRUE(end.act);
    EXPECT_EQ(end.percent, 100u);
    EXPECT_TRUE(end.close);
    const ProgressTick mid = progressTick(1000, 999, false);
    EXPECT_EQ(mid.percent, 99u);
    EXPECT_FALSE(mid.close);
    EXPECT_TRUE(progressTick(1000, 10, true).close);
    // 100 x copied stays exact in 64 bits for a tree of several GiB.
    EXPECT_EQ(progressTick(6000000000ull, 3000000000ull, false).percent, 50u);
    EXPECT_EQ(neededMiB(1048576000ull), 1050u);
}
