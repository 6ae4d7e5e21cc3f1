// The lock files of the single-instance rule, within one process: a lock on
// one open file shuts out a second open of the same file, as it does another
// process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/instance_lock.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

using dupmon::test::TempDir;

TEST(PrivateFolder, OnlyAFolderOfThisUserClosedToOthersIsPrivate) {
    TempDir t;
    fs::create_directory(t.path / "closed");
    ::chmod((t.path / "closed").c_str(), 0700);
    fs::create_directory(t.path / "group");
    ::chmod((t.path / "group").c_str(), 0750);
    fs::create_directory_symlink(t.path / "closed", t.path / "link");
    std::ofstream(t.path / "file").put('x');
    struct Case {
        const char* name;
        bool isPrivate;
        const char* why;
    } cases[] = {{"closed", true, ""},
                 {"group", false, "is open to other users (mode 0750, must be 0700)"},
                 {"link", false, "is a symbolic link"},
                 {"file", false, "is not a folder"},
                 {"missing", false, "No such file or directory"}};
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(isPrivateFolder(t.path / c.name, why), c.isPrivate) << c.name;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
    }
}

TEST(PrivateFolder, TheRuntimeFolderIsMadePrivateUnderXdgRuntimeDirOrTheTemporaryFolder) {
    TempDir t;
    const fs::path runtime = t.path / "runtime";
    fs::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    std::string error;
    EXPECT_EQ(privateRuntimeDir(error), runtime / "duplicator-monitor") << error;
    std::string why;
    EXPECT_TRUE(isPrivateFolder(runtime / "duplicator-monitor", why)) << why;

    // An XDG_RUNTIME_DIR open to others is not used.
    ::chmod(runtime.c_str(), 0755);
    EXPECT_EQ(privateRuntimeDir(error), fs::path());
    EXPECT_NE(error.find("XDG_RUNTIME_DIR " + runtime.string() + ": is open to other users"),
              std::string::npos)
        << error;

    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", t.path.c_str(), 1);
    const fs::path fallback = t.path / ("duplicator-monitor-" + std::to_string(::geteuid()));
    EXPECT_EQ(privateRuntimeDir(error), fallback) << error;
    EXPECT_TRUE(isPrivateFolder(fallback, why)) << why;
    ::unsetenv("TMPDIR");
}

TEST(InstanceLockFiles, AClaimHeldOnceIsFoundTakenWithItsHolderUntilReleased) {
    TempDir t;
    fs::create_directory(t.path / "work");
    const auto folder = InstanceClaim::workingFolder(t.path / "work");
    const auto usb = InstanceClaim::usbBus();
    InstanceLock first, second;
    InstanceLock::Holder holder;
    std::string error;
    ASSERT_EQ(first.acquire(t.path, {folder, usb}, "desktop, here", holder, error),
              InstanceLock::Result::Held)
        << error;

    // The same folder under another name is the same claim.
    fs::create_directory_symlink(t.path / "work", t.path / "alias");
    const auto alias = InstanceClaim::workingFolder(t.path / "alias");
    EXPECT_EQ(alias.key, folder.key);
    EXPECT_EQ(second.acquire(t.path, {alias}, "headless", holder, error),
              InstanceLock::Result::Taken);
    EXPECT_EQ(holder.pid, long(::getpid()));
    EXPECT_EQ(holder.description, "desktop, here");
    EXPECT_EQ(holder.what, alias.what);

    // Another folder on the held bus: taken for the bus, and nothing kept.
    fs::create_directory(t.path / "other");
    const auto other = InstanceClaim::workingFolder(t.path / "other");
    EXPECT_EQ(second.acquire(t.path, {other, usb}, "headless", holder, error),
              InstanceLock::Result::Taken);
    EXPECT_EQ(holder.what, "the USB bus");
    InstanceLock third;
    EXPECT_EQ(third.acquire(t.path, {other}, "headless", holder, error),
              InstanceLock::Result::Held);
    third.release();

    // Two simulators are two buses; one socket reached by two paths is one.
    const auto simA = InstanceClaim::simulator((t.path / "a.sock").string());
    const auto simB = InstanceClaim::simulator((t.path / "b.sock").string());
    const auto simA2 = InstanceClaim::simulator((t.path / "work" / ".." / "a.sock").string());
    EXPECT_NE(simA.key, simB.key);
    EXPECT_EQ(simA.key, simA2.key);

    first.release();
    EXPECT_EQ(second.acquire(t.path, {alias, usb}, "headless", holder, error),
              InstanceLock::Result::Held)
        << error;
}

TEST(InstanceLockFiles, ALockFileThatIsALinkIsRefused) {
    TempDir t;
    fs::create_directory(t.path / "work");
    const auto folder = InstanceClaim::workingFolder(t.path / "work");
    // Planted by someone to make the monitor write elsewhere.
    std::ofstream(t.path / "target").put('x');
    fs::create_symlink(t.path / "target", t.path / (folder.key + ".lock"));
    InstanceLock lock;
    InstanceLock::Holder holder;
    std::string error;
    EXPECT_EQ(lock.acquire(t.path, {folder}, "desktop", holder, error),
              InstanceLock::Result::Failed);
    EXPECT_NE(error.find(folder.key + ".lock"), std::string::npos) << error;
    std::ifstream in(t.path / "target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "x");
}
