// The parameter file in the working folder that names the export's server.
#include <gtest/gtest.h>

#include <fstream>

#include "export/monitor_export.h"
#include "logdb/log_test_support.h"

using namespace dupmon;

class ExportSetting : public dupmon::test::TempDirTest {
protected:
    void write(const std::string& text) {
        std::ofstream(dir / kExportParameterFile, std::ios::binary) << text;
    }
};

TEST_F(ExportSetting, TheFirstLineThatIsNoCommentIsTheUrl) {
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
        const auto url = readExportSetting(dir);
        EXPECT_EQ(url.value_or(""), c.url);
        EXPECT_EQ(url.has_value(), *c.url != 0);
    }
}

TEST_F(ExportSetting, NoFileMeansNoExport) {
    EXPECT_FALSE(readExportSetting(dir).has_value());
    std::filesystem::create_directory(dir / kExportParameterFile);
    EXPECT_FALSE(readExportSetting(dir).has_value());
}
