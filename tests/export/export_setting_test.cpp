// The parameter file in the working folder that names the export's server:
// its URL, no file (no export), and a file that is there but cannot be read
// (the export is off and says why, once).
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "export/monitor_export.h"
#include "logdb/log_test_support.h"

using namespace dupmon;

class ExportParameterFile : public dupmon::test::TempDirTest {
protected:
    std::filesystem::path path() const { return dir / kExportParameterFile; }
    void write(const std::string& text) { std::ofstream(path(), std::ios::binary) << text; }
};

TEST_F(ExportParameterFile, TheFirstLineThatIsNoCommentIsTheUrl) {
    const struct {
        const char* text;
        const char* url; // empty: none
    } cases[] = {
        {"postgresql://exporter@db/site\n", "postgresql://exporter@db/site"},
        {"# the site's server\r\n\r\n  postgresql://db/site  \r\nsecond\n", "postgresql://db/site"},
        {"# nothing but a comment\n\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        write(c.text);
        const ExportSetting setting = readExportSetting(dir);
        EXPECT_EQ(setting.url.value_or(""), c.url);
        EXPECT_EQ(setting.url.has_value(), *c.url != 0);
        EXPECT_EQ(setting.problem, "");
    }
}

TEST_F(ExportParameterFile, NoFileMeansNoExportAndOneThatCannotBeReadSaysWhy) {
    const ExportSetting none = readExportSetting(dir);
    EXPECT_FALSE(none.url.has_value());
    EXPECT_EQ(none.problem, "");

    const struct {
        const char* name;
        void (*make)(const std::filesystem::path&);
        const char* problem;
    } cases[] = {
        {"a folder", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); },
         " is a folder, not a file"},
        {"a pipe", [](const std::filesystem::path& p) { ::mkfifo(p.c_str(), 0600); },
         " is not a regular file"},
        {"a link to nothing",
         [](const std::filesystem::path& p) { std::filesystem::create_symlink("gone.par", p); },
         " is a link to a file that does not exist"},
        {"no permission to read", // root reads it all the same: then it is a URL
         [](const std::filesystem::path& p) {
             std::ofstream(p) << "postgresql://db/site\n";
             ::chmod(p.c_str(), 0);
         },
         " cannot be opened: Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(path());
        c.make(path());
        const ExportSetting setting = readExportSetting(dir);
        if (::geteuid() == 0 && std::string(c.name) == "no permission to read") {
            EXPECT_EQ(setting.url.value_or(""), "postgresql://db/site");
            continue;
        }
        EXPECT_FALSE(setting.url.has_value());
        EXPECT_EQ(setting.problem, path().string() + c.problem);
    }
}
