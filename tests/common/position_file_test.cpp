// The window position files: the bytes written, and what reads as a position
// (files written by the program before, files of another machine, damaged
// files).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/position_file.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

TEST(PositionFile, BytesWrittenAreTheTwoLines) {
    EXPECT_EQ(formatPositionFile("M-0042 ", {100, 50, 1150, 368}), "M-0042 \n100 50 1150 368 \n");
    EXPECT_EQ(formatPositionFile("QX42B Ver:1.0.0 2026-12-10 x", {-5, 7, 0, 4}),
              "QX42B Ver:1.0.0 2026-12-10 x\n-5 7 0 4 \n");
}

TEST(PositionFile, WhatReadsAsAPosition) {
    using P = std::optional<WindowRect>;
    const std::optional<std::string_view> anyOwner;
    struct Case {
        const char* what;
        std::string text;
        std::optional<std::string_view> owner;
        P expect;
    };
    const Case cases[] = {
        // As the program wrote them before.
        {"machine window file", "M-0042 \n100 50 1150 368 \n", "M-0042",
         WindowRect{100, 50, 1150, 368}},
        {"log viewer file", "A1B2C3 \n10 20 900 400 \n", "A1B2C3", WindowRect{10, 20, 900, 400}},
        {"main window file", "QX42B Ver:1.0.0 2026-12-10 notice\n10 20 800 600 \n", anyOwner,
         WindowRect{10, 20, 800, 600}},
        // Written elsewhere or by hand.
        {"line ends of another platform", "A1B2C3 \r\n10 20 900 400 \r\n", "A1B2C3",
         WindowRect{10, 20, 900, 400}},
        {"blanks before the id, words after it", "  A1B2C3 old name\n-5 +7 900 400 x\n", "A1B2C3",
         WindowRect{-5, 7, 900, 400}},
        {"no blank after the id", "M-0042\r\n7 8 9 10\r\n", "M-0042", WindowRect{7, 8, 9, 10}},
        {"no line end after the numbers", "M-0042 \n1 2 3 4", "M-0042", WindowRect{1, 2, 3, 4}},
        {"any first line for the main window", "\n1 2 3 4\n", anyOwner, WindowRect{1, 2, 3, 4}},
        // Not a position for this window.
        {"another machine", "Z9Y8X7 \n10 20 900 400 \n", "A1B2C3", std::nullopt},
        {"an id that only starts the same", "A1B2C3D4 \n10 20 900 400 \n", "A1B2C3", std::nullopt},
        {"no second line", "A1B2C3 \n", "A1B2C3", std::nullopt},
        {"first line only, no line end", "A1B2C3", "A1B2C3", std::nullopt},
        {"main window file of one line", "QX42B Ver:1\n", anyOwner, std::nullopt},
        {"three numbers", "A1B2C3 \n10 20 900\n", "A1B2C3", std::nullopt},
        {"numbers on the third line", "A1B2C3 \n\n10 20 900 400\n", "A1B2C3", std::nullopt},
        {"a number too large for an int", "A1B2C3 \n10 20 99999999999 400\n", "A1B2C3",
         std::nullopt},
        {"blank first line, machine without id", " \n10 20 900 400 \n", "", std::nullopt},
        {"not a number", "M-0042 \n1 2 x 4\n", "M-0042", std::nullopt},
        {"empty file", "", "A1B2C3", std::nullopt},
        {"empty main window file", "", anyOwner, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parsePositionFile(c.text, c.owner), c.expect) << c.what;
}

TEST(PositionFile, FilesRoundTripAndAreReadNoFurtherThanTheLimit) {
    const dupmon::test::TempDir tmp("dupmon_position");
    ASSERT_TRUE(tmp);
    const fs::path& dir = tmp.path;
    const fs::path file = dir / "M-0042.qz9.par";

    EXPECT_EQ(readPositionFile(file, "M-0042"), std::nullopt) << "missing file";
    ASSERT_TRUE(writePositionFile(file, "M-0042 ", {30, 40, 1000, 500}));
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "M-0042 \n30 40 1000 500 \n");
    EXPECT_EQ(readPositionFile(file, "M-0042"), (WindowRect{30, 40, 1000, 500}));
    EXPECT_EQ(readPositionFile(file, std::nullopt), (WindowRect{30, 40, 1000, 500}));
    EXPECT_EQ(readPositionFile(file, "Z9Y8X7"), std::nullopt);

    // Two lines that the first kPositionFileReadLimit bytes do not hold are no position.
    std::ofstream(file, std::ios::binary)
        << "M-0042" + std::string(kPositionFileReadLimit, ' ') + "\n1 2 3 4\n";
    EXPECT_EQ(readPositionFile(file, "M-0042"), std::nullopt);
    // A folder at the path reads as no file.
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_EQ(readPositionFile(file, "M-0042"), std::nullopt);
    EXPECT_FALSE(writePositionFile(dir / "missing" / "x.qz9.par", "M ", {1, 2, 3, 4}));
}
