// Window title, placement file, picture names, clock texts, nickname limit,
// image bank texts, and the port map decisions that have no widget.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "machine_window/port_map_layout.h"
#include "machine_window/window_texts.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/dupmon_mw_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
};

} // namespace

TEST(WindowTexts, TitleUsesNicknameOrModelName) {
    MachineInfo info{};
    copyField(info.modelName, sizeof info.modelName, "UB-16");
    copyField(info.version, sizeof info.version, "v2.40.7");
    EXPECT_EQ(machineWindowTitle(info), "UB-16(v2.40.7)");
    EXPECT_EQ(machineDisplayName(info), "UB-16");
    copyField(info.nickName, sizeof info.nickName, "Line 3");
    EXPECT_EQ(machineWindowTitle(info), "Line 3(v2.40.7)");
    EXPECT_EQ(machineDisplayName(info), "Line 3");
}

TEST(WindowTexts, PlacementFileRoundTripAndForeignFiles) {
    TempDir dir;
    MachineInfo info{};
    copyField(info.machineId, sizeof info.machineId, "M-0042");
    const fs::path file = placementFilePath(dir.path, info);
    EXPECT_EQ(file.filename(), "M-0042.qz9.par");

    WindowPlacement p;
    EXPECT_FALSE(loadPlacement(file, "M-0042", p)) << "missing file";

    ASSERT_TRUE(savePlacement(file, "M-0042", {100, 50, 1150, 368}));
    EXPECT_EQ(readFile(file), "M-0042 \n100 50 1150 368 \n");
    ASSERT_TRUE(loadPlacement(file, "M-0042", p));
    EXPECT_EQ(p.top, 100);
    EXPECT_EQ(p.left, 50);
    EXPECT_EQ(p.width, 1150);
    EXPECT_EQ(p.height, 368);

    struct {
        const char* content;
        bool loads;
    } cases[] = {
        {"M-0041 \n1 2 3 4 \n", false},   // another machine's file
        {"M-0042 \n1 2 3\n", false},      // fewer than four numbers
        {"M-0042\r\n7 8 9 10\r\n", true}, // CR LF line ends
        {"M-0042 extra words\n5 6 7 8\n", true},
        {"", false},
    };
    for (const auto& c : cases) {
        std::ofstream(file, std::ios::binary) << c.content;
        WindowPlacement q{-1, -1, -1, -1};
        EXPECT_EQ(loadPlacement(file, "M-0042", q), c.loads) << c.content;
        if (!c.loads) {
            EXPECT_EQ(q.top, -1) << "defaults stay when nothing is taken";
        }
    }

    EXPECT_FALSE(savePlacement(dir.path / "missing" / "x.qz9.par", "M", {1, 2, 3, 4}));
}

TEST(WindowTexts, PictureNamesFollowTheLocalTime) {
    const LocalTime t{2026, 3, 5, 9, 7, 3, 0, 4};
    EXPECT_EQ(picturePath("/work", t),
              fs::path("/work/SavePicture/2026/2026-03/20260305-090703.jpg"));
}

TEST(WindowTexts, ClockTexts) {
    EXPECT_EQ(machineClockText("20260315093005"), "2026-03-15 09:30:05");
    EXPECT_EQ(computerClockText({2026, 12, 1, 23, 4, 5, 0, 2}), "2026-12-01 23:04:05");
}

TEST(WindowTexts, NicknameIsCutToFiftyBytesOnACharacterBoundary) {
    EXPECT_EQ(limitNickname("Line 3"), "Line 3");
    const std::string fifty(50, 'n');
    EXPECT_EQ(limitNickname(fifty + "xyz"), fifty);
    // 49 ASCII bytes and a two-byte character: the character does not fit.
    const std::string cut = limitNickname(std::string(49, 'a') + "\xC3\xA9" + "b");
    EXPECT_EQ(cut, std::string(49, 'a'));
}

TEST(WindowTexts, ImageBankTexts) {
    // The connection hands the block over with its numbers in host order.
    uint8_t block[256] = {};
    auto put = [&](size_t off, uint32_t v) { std::memcpy(block + off, &v, 4); };
    put(92, 512);      // bytes per sector
    put(96, 8);        // max images
    put(104, 2097152); // sectors per data bank: 1 GiB
    put(108, 5);       // free images
    put(112, 3);       // free data banks
    const ImageBankFigures bank = imageBankFigures(block);
    EXPECT_EQ(freeSpaceText(bank), "Free Space: 3.00GB");
    EXPECT_EQ(imageQtyText(bank), "Exist Image Qty: 3");
    EXPECT_EQ(imageGridRows(bank), 9);

    put(96, 0);
    put(108, 0);
    EXPECT_EQ(imageGridRows(imageBankFigures(block)), 1) << "heading row only";
    put(96, 0xFFFFFFFF);
    EXPECT_EQ(imageGridRows(imageBankFigures(block)), 1001) << "the bank holds 1000 images";
}

TEST(PortMapDecisions, TooManyPortsBuildsNothing) {
    MachineInfo info{};
    info.maxDeviceQty = 257;
    info.portQty_per_board = 16;
    const PortMapLayout L = computePortMap(info);
    EXPECT_TRUE(L.tooManyPorts);
    EXPECT_EQ(L.portCount, 0);
}

TEST(PortMapDecisions, KindOneKeepsOnlyThePortsThatFitTheMap) {
    MachineInfo info{};
    info.machineType = 1;
    info.maxDeviceQty = 130;
    const PortMapLayout L = computePortMap(info);
    int created = 0;
    for (int i = 0; i < L.portCount; ++i)
        created += L.ports[i].created;
    EXPECT_EQ(created, 121);
    EXPECT_TRUE(L.ports[120].created);
    EXPECT_EQ(L.ports[120].column, 0) << "the last of the 121 fills the leftmost column";
    EXPECT_FALSE(L.ports[121].created);
}

TEST(PortMapDecisions, PortCaptions) {
    EXPECT_EQ(portCaption(0, LayoutKind::Ordinary), "#01");
    EXPECT_EQ(portCaption(9, LayoutKind::Ordinary), "#10");
    EXPECT_EQ(portCaption(99, LayoutKind::Ordinary), "#100");
    EXPECT_EQ(portCaption(0, LayoutKind::Kind1), "#00");
    EXPECT_EQ(portCaption(7, LayoutKind::Kind2), "#07");
}

TEST(PortMapDecisions, ZeroPortsPerRowStillLaysOut) {
    MachineInfo info{};
    info.maxDeviceQty = 3;
    const PortMapLayout L = computePortMap(info);
    EXPECT_EQ(L.columns, 1);
    EXPECT_EQ(L.rows, 3);
}

TEST(PortMapDecisions, NewWindowsCascadeInsideTheFreeArea) {
    const ScreenRect area{100, 50, 1280, 800};
    struct Case {
        int width, height, k;
        ScreenRect expected;
    };
    const Case cases[] = {
        {600, 400, 0, {440, 250, 600, 400}}, // centred
        {600, 400, 1, {468, 278, 600, 400}}, // one step down and right
        {600, 400, 2, {496, 306, 600, 400}},
        {600, 400, 13, {100 + 364, 50 + 364, 600, 400}}, // past the edges: again from the corner
        {1280, 800, 0, {100, 50, 1280, 800}},            // as large as the area
        {1280, 800, 1, {128, 78, 1252, 772}},            // smaller by a step, to stand apart
        {1280, 800, 2, {156, 106, 1224, 744}},
        {1280, 800, 4, {127, 77, 1196, 716}},  // three steps smaller at most
        {3000, 2000, 0, {100, 50, 1280, 800}}, // never larger than the area
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " #" << c.k);
        EXPECT_EQ(cascadedWindow(c.width, c.height, area, c.k), c.expected);
    }
    // However many, each lies wholly inside the area, and the next stands apart.
    for (const auto& [w, h] : {std::pair{600, 400}, std::pair{1280, 800}, std::pair{1270, 300}}) {
        for (int k = 0; k < 60; ++k) {
            const ScreenRect r = cascadedWindow(w, h, area, k);
            ASSERT_GE(r.left, area.left) << w << " " << k;
            ASSERT_GE(r.top, area.top) << w << " " << k;
            ASSERT_LE(r.left + r.width, area.left + area.width) << w << " " << k;
            ASSERT_LE(r.top + r.height, area.top + area.height) << w << " " << k;
            const ScreenRect next = cascadedWindow(w, h, area, k + 1);
            EXPECT_TRUE(next.left != r.left || next.top != r.top) << w << " " << k;
        }
    }
}

TEST(PortMapDecisions, TheFirstScrollShowsPortOneAndAsMuchOfTheJobPanelsAsFits) {
    struct Case {
        const char* what;
        int jobFrom, jobTo, portFrom, portTo, view, maxScroll, expected;
    };
    const Case cases[] = {
        {"both fit from the start", 0, 300, 310, 375, 500, 200, 0},
        {"both fit further on", 700, 1790, 1680, 1790, 1270, 600, 520},
        {"the port below the panels, too little room", 0, 300, 310, 375, 250, 200, 125},
        {"the port left of the panels, too little room", 500, 900, 0, 100, 300, 900, 0},
        {"kind 1 before its header moves: the port wins", 0, 900, 1680, 1790, 1270, 600, 520},
        {"no farther than the view scrolls", 700, 1790, 1680, 1790, 1270, 100, 100},
        {"the port whole from the start: no scrolling", 15, 1010, 11, 160, 780, 300, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(scrollToShow(c.jobFrom, c.jobTo, c.portFrom, c.portTo, c.view, c.maxScroll),
                  c.expected)
            << c.what;
}
