// The monitor's command line: what each form means, and a one-line message
// naming the argument that is wrong.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/monitor_options.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

TEST(MonitorOptions, EachFormAndEachMistake) {
    struct Case {
        std::vector<std::string> args;
        OptionsAction action;
        std::string simulator, workDir, error;
        bool demo = false, headless = false;
        std::string exportUrl = "";
    } cases[] = {
        {{}, OptionsAction::Run, "", "", ""},
        {{"--headless", "--demo"}, OptionsAction::Run, "", "", "", true, true},
        {{"--simulator", "/s.sock", "--workdir", "w"}, OptionsAction::Run, "/s.sock", "w", ""},
        {{"--simulator=/s.sock", "--workdir=w"}, OptionsAction::Run, "/s.sock", "w", ""},
        {{"--workdir"}, OptionsAction::Error, "", "", "option --workdir needs a value"},
        {{"--simulator"}, OptionsAction::Error, "", "", "option --simulator needs a value"},
        {{"--workdir="}, OptionsAction::Error, "", "", "option --workdir needs a value"},
        {{"--simulator", "--headless"},
         OptionsAction::Error,
         "",
         "",
         "option --simulator needs a value"},
        {{"--workdir", "--demo"}, OptionsAction::Error, "", "", "option --workdir needs a value"},
        {{"--demo", "--simulator", "s"},
         OptionsAction::Error,
         "",
         "",
         "--demo and --simulator exclude each other"},
        {{"--frobnicate"}, OptionsAction::Error, "", "", "unknown option --frobnicate"},
        {{"--headless", "--help", "--bogus"}, OptionsAction::Help, "", "", ""},
        {{"-h"}, OptionsAction::Help, "", "", ""},
        {{"--version"}, OptionsAction::Version, "", "", ""},
        {{"--user-data", "--workdir", "w"},
         OptionsAction::Error,
         "",
         "",
         "--user-data and --workdir exclude each other"},
        {{"--headless", "--export", "postgresql://e@h/site"},
         OptionsAction::Run,
         "",
         "",
         "",
         false,
         true,
         "postgresql://e@h/site"},
        // A URL that is none is for the export to say: collecting goes on.
        {{"--export=http://h/x"}, OptionsAction::Run, "", "", "", false, false, "http://h/x"},
        {{"--export"}, OptionsAction::Error, "", "", "option --export needs a value"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        MonitorOptions o;
        std::string error;
        EXPECT_EQ(parseMonitorOptions(c.args, o, error), c.action);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(error.empty(), c.error.empty()) << error;
        if (c.action != OptionsAction::Run)
            continue;
        EXPECT_EQ(o.simulator, c.simulator);
        EXPECT_EQ(o.workDir, c.workDir);
        EXPECT_EQ(o.demo, c.demo);
        EXPECT_EQ(o.headless, c.headless);
        EXPECT_EQ(o.exportUrl, c.exportUrl);
    }
}

TEST(MonitorOptions, UserDataFolderFollowsXdgDataHomeOrHome) {
    struct Case {
        const char* xdg; // nullptr: unset
        const char* home;
        std::string folder;
    } cases[] = {
        {"/data", "/home/op", "/data/duplicator-monitor"},
        {nullptr, "/home/op", "/home/op/.local/share/duplicator-monitor"},
        {"relative", "/home/op", "/home/op/.local/share/duplicator-monitor"},
        {"", "/home/op", "/home/op/.local/share/duplicator-monitor"},
        {nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        c.xdg ? ::setenv("XDG_DATA_HOME", c.xdg, 1) : ::unsetenv("XDG_DATA_HOME");
        c.home ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
        std::string error;
        EXPECT_EQ(userDataFolder(error).string(), c.folder);
        EXPECT_EQ(error.empty(), !c.folder.empty()) << error;
    }
}

// An installed program: bin/ beside share/duplicator-monitor/pictures.
TEST(MonitorOptions, TheUserDataFolderIsMadePrivateAndFindsTheInstalledPictures) {
    const dupmon::test::TempDir tmp("dupmon-userdata");
    const fs::path& root = tmp.path;
    const fs::path pictures = root / "usr" / "share" / "duplicator-monitor" / "pictures";
    fs::create_directories(pictures / "usb");
    fs::create_directories(pictures / "CF");
    std::ofstream(pictures / "usb" / "usb-10p-on.bmp") << "BM";
    fs::create_directories(root / "usr" / "bin");
    const fs::path program = root / "usr" / "bin" / "duplicator-monitor";
    const fs::path folder = root / "home" / ".local" / "share" / "duplicator-monitor";
    // The operator's own CF pictures stay as they are.
    fs::create_directories(folder / "CF");

    std::string error;
    ASSERT_TRUE(prepareUserDataFolder(folder, program, error)) << error;
    EXPECT_TRUE(fs::is_symlink(folder / "usb"));
    EXPECT_TRUE(fs::exists(folder / "usb" / "usb-10p-on.bmp"));
    EXPECT_FALSE(fs::is_symlink(folder / "CF"));

    // A fresh folder is made for this user alone.
    fs::remove_all(folder);
    ASSERT_TRUE(prepareUserDataFolder(folder, program, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::is_symlink(folder / "CF"));
    // Run again, nothing changes and nothing fails.
    EXPECT_TRUE(prepareUserDataFolder(folder, program, error)) << error;
}

TEST(MonitorOptions, TheProgramFileIsTheRunningExecutableWhateverItsName) {
    EXPECT_EQ(runningProgramFile("duplicator-monitor"), fs::canonical("/proc/self/exe"));
}

TEST(MonitorOptions, WithoutProcTheProgramIsFoundOnPathAsTheShellFoundIt) {
    const dupmon::test::TempDir tmp("dupmon-path");
    const fs::path& root = tmp.path;
    fs::create_directories(root / "bin");
    fs::create_directories(root / "other");
    std::ofstream(root / "bin" / "duplicator-monitor") << "#!/bin/sh\n";
    ::chmod((root / "bin" / "duplicator-monitor").c_str(), 0755);
    std::ofstream(root / "other" / "duplicator-monitor") << "not a program\n"; // not executable
    fs::create_directories(root / "dir" / "duplicator-monitor");               // a folder
    const std::string path = "/nonexistent:" + (root / "other").string() + ":" +
                             (root / "dir").string() + ":" + (root / "bin").string();
    EXPECT_EQ(findProgramOnPath("duplicator-monitor", path), root / "bin" / "duplicator-monitor");
    EXPECT_EQ(findProgramOnPath("duplicator-monitor", "/nonexistent"), fs::path());
    EXPECT_EQ(findProgramOnPath("./duplicator-monitor", path), fs::path());
    EXPECT_EQ(findProgramOnPath("", path), fs::path());
}
