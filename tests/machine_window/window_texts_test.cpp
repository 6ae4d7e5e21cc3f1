// Window title, placement file name, picture names, clock texts, nickname limit,
// image bank texts, and the port map decisions that have no widget.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/text.h"
#include "machine_window/port_map_layout.h"
#include "machine_window/window_texts.h"

using namespace dupmon;
namespace fs = std::filesystem;

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

TEST(WindowTexts, PlacementFileIsNamedAfterTheMachine) {
    MachineInfo info{};
    copyField(info.machineId, sizeof info.machineId, "M-0042");
    EXPECT_EQ(placementFilePath("/data", info), fs::path("/data/M-0042.qz9.par"));
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
