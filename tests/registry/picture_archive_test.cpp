#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "common/byte_order.h"
#include "registry/picture_archive.h"
#include "shell/shell_test_files.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::TempDir;
using shelltest::writeFile;

namespace {

MachineInfo machine(uint8_t deviceType, int32_t ports) {
    MachineInfo m{};
    m.deviceType = deviceType;
    m.maxDeviceQty = ports;
    return m;
}

TEST(PictureRow, ChoosesTheFirstMatchingRowElseTheDefault) {
    struct Case {
        uint8_t deviceType;
        int32_t ports;
        int row;
    } cases[] = {
        {2, 40, 4},  {4, 8, 11},    {7, 40, 0},  {0, 10, 0}, {2, 10, 1},   {2, 120, 8},
        {15, 80, 9}, {15, 120, 10}, {15, 40, 0}, {3, 8, 20}, {3, 120, 28}, {5, 60, 34},
        {5, 8, 29},  {4, 120, 19},  {2, -40, 0}, {2, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pictureRow(machine(c.deviceType, c.ports)), c.row)
            << int(c.deviceType) << "/" << c.ports;
}

TEST(PictureRow, TableNamesFollowTheFolderAndPortPattern) {
    ASSERT_EQ(kPictureTable.size(), 35u);
    EXPECT_STREQ(kPictureTable[0].onFile, "usb\\usb-10p-on.bmp");
    EXPECT_STREQ(kPictureTable[11].offFile, "Combo\\Combo-08p-off.bmp");
    EXPECT_STREQ(kPictureTable[34].onFile, "CF\\CF-60p-on.bmp");
    for (const PictureTableRow& row : kPictureTable) {
        const std::string on = row.onFile, off = row.offFile;
        const std::string folder = on.substr(0, on.find('\\'));
        char expected[64];
        std::snprintf(expected, sizeof expected, "%s\\%s-%02up-on.bmp", folder.c_str(),
                      folder.c_str(), row.portCount);
        EXPECT_EQ(on, expected);
        EXPECT_EQ(off, on.substr(0, on.size() - 7) + "-off.bmp");
    }
}

// A program file ending in a two-entry archive, laid out by hand.
struct HandArchive {
    std::vector<uint8_t> program; // "program" bytes, then the archive
    size_t start = 0;             // where the archive begins
    std::vector<uint8_t> images[4];

    HandArchive() {
        images[0] = {'B', 'M', 1, 2, 3};
        images[1] = {'B', 'M', 4, 5, 6, 7};
        images[2] = {'B', 'M', 8};
        images[3] = {'B', 'M', 9, 9};
        program = {0x7F, 'E', 'L', 'F', 1, 2, 3, 4, 5, 6};
        start = program.size();
        auto text40 = [&](const char* text) {
            std::vector<uint8_t> field(40, 0);
            std::memcpy(field.data(), text, std::strlen(text));
            program.insert(program.end(), field.begin(), field.end());
        };
        auto u32 = [&](uint32_t v) {
            program.insert(program.end(),
                           {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
        };
        text40("BRELLOCK_QX42_PICTURE_HEADER");
        u32(2);
        const uint32_t first = 44 + 48; // images follow the two entries
        u32(2), u32(40), u32(first), u32(5), u32(first + 5), u32(6);
        u32(4), u32(8), u32(first + 11), u32(3), u32(first + 14), u32(4);
        for (const auto& image : images)
            program.insert(program.end(), image.begin(), image.end());
        text40("BRELLOCK_QX42_PICTURE_TAIL");
        u32(uint32_t(program.size() - start + 4));
    }
    std::vector<uint8_t> archive() const {
        return std::vector<uint8_t>(program.begin() + long(start), program.end());
    }
    // The archive's fields, for mutations.
    uint8_t* at(size_t archiveOffset) { return program.data() + start + archiveOffset; }
    size_t size() const { return program.size() - start; }
};

TEST(PictureArchive, ReadsAnArchiveLaidOutByHand) {
    HandArchive hand;
    const ArchiveContents got = readPictureArchive(hand.program);
    ASSERT_EQ(got.status, ArchiveStatus::Ok);
    ASSERT_EQ(got.pairs.size(), 2u);
    EXPECT_EQ(got.pairs[0].deviceType, 2u);
    EXPECT_EQ(got.pairs[0].portCount, 40u);
    EXPECT_EQ(got.pairs[0].onImage, hand.images[0]);
    EXPECT_EQ(got.pairs[0].offImage, hand.images[1]);
    EXPECT_EQ(got.pairs[1].deviceType, 4u);
    EXPECT_EQ(got.pairs[1].portCount, 8u);
    EXPECT_EQ(got.pairs[1].onImage, hand.images[2]);
    EXPECT_EQ(got.pairs[1].offImage, hand.images[3]);
    // The writer produces the same bytes, and the archive alone reads the same.
    EXPECT_EQ(buildPictureArchive(got.pairs), hand.archive());
    EXPECT_EQ(readPictureArchive(hand.archive()).pairs.size(), 2u);
}

TEST(PictureArchive, RefusesTruncatedForeignAndOutOfBoundsArchives) {
    struct Case {
        const char* what;
        std::function<void(HandArchive&)> spoil;
        ArchiveStatus status;
    } cases[] = {
        {"tail text changed", [](HandArchive& h) { h.program[h.program.size() - 44] = 'b'; },
         ArchiveStatus::NoTail},
        {"tail text not terminated",
         [](HandArchive& h) { h.program[h.program.size() - 44 + 26] = 'X'; },
         ArchiveStatus::NoTail},
        {"last byte cut", [](HandArchive& h) { h.program.pop_back(); }, ArchiveStatus::NoTail},
        {"shorter than a tail", [](HandArchive& h) { h.program.resize(43); },
         ArchiveStatus::NoTail},
        {"size past the file start",
         [](HandArchive& h) { writeLE32(h.program.data() + h.program.size() - 4, 0x7FFFFFFF); },
         ArchiveStatus::BadSize},
        {"size below header and tail",
         [](HandArchive& h) { writeLE32(h.program.data() + h.program.size() - 4, 87); },
         ArchiveStatus::BadSize},
        {"size one too large",
         [](HandArchive& h) {
             writeLE32(h.program.data() + h.program.size() - 4, uint32_t(h.size() + 1));
         },
         ArchiveStatus::NoHeader},
        {"header text changed", [](HandArchive& h) { h.at(0)[5] = 'x'; }, ArchiveStatus::NoHeader},
        {"entry count runs into the tail", [](HandArchive& h) { writeLE32(h.at(40), 0xFFFFFFFF); },
         ArchiveStatus::BadTable},
        {"entry count one too many", [](HandArchive& h) { writeLE32(h.at(40), 3); },
         ArchiveStatus::BadTable},
        {"image past the tail", [](HandArchive& h) { writeLE32(h.at(44 + 24 + 20), 5); },
         ArchiveStatus::BadImage},
        {"image size wraps around",
         [](HandArchive& h) {
             writeLE32(h.at(44 + 8), 0xFFFFFFF0);
             writeLE32(h.at(44 + 12), 0x20);
         },
         ArchiveStatus::BadImage},
        {"image inside the entry table", [](HandArchive& h) { writeLE32(h.at(44 + 8), 80); },
         ArchiveStatus::BadImage},
        {"image of no bytes", [](HandArchive& h) { writeLE32(h.at(44 + 12), 0); },
         ArchiveStatus::BadImage},
        {"image that is no bitmap", [](HandArchive& h) { h.at(44 + 48)[0] = 'P'; },
         ArchiveStatus::BadImage},
    };
    for (const Case& c : cases) {
        HandArchive hand;
        c.spoil(hand);
        const ArchiveContents got = readPictureArchive(hand.program);
        EXPECT_EQ(got.status, c.status) << c.what << ": " << archiveStatusName(got.status);
        EXPECT_TRUE(got.pairs.empty()) << c.what;
    }
}

TEST(PictureArchive, GarbageNeverReadsAsAnArchive) {
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> junk(random() % 300);
        for (auto& b : junk)
            b = uint8_t(random());
        EXPECT_NE(readPictureArchive(junk).status, ArchiveStatus::Ok);
    }
    EXPECT_EQ(readPictureArchive({}).status, ArchiveStatus::NoTail);
}

TEST(PictureArchive, ReadsOnlyTheArchiveFromAFile) {
    TempDir dir;
    HandArchive hand;
    ASSERT_TRUE(writeFile(dir / "program", hand.program));
    const ArchiveContents got = readPictureArchiveFile(dir / "program");
    ASSERT_EQ(got.status, ArchiveStatus::Ok);
    EXPECT_EQ(got.pairs[1].offImage, hand.images[3]);

    EXPECT_EQ(readPictureArchiveFile(dir / "missing").status, ArchiveStatus::NoFile);
    ASSERT_TRUE(writeFile(dir / "tiny", {1, 2, 3}));
    EXPECT_EQ(readPictureArchiveFile(dir / "tiny").status, ArchiveStatus::NoTail);
    HandArchive big;
    writeLE32(big.program.data() + big.program.size() - 4, 0x7FFFFFFF);
    ASSERT_TRUE(writeFile(dir / "big", big.program));
    EXPECT_EQ(readPictureArchiveFile(dir / "big").status, ArchiveStatus::BadSize);
}

TEST(LooseFiles, FoundWithoutRegardToLetterCase) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "usb/usb-10p-on.bmp", {'B', 'M', 1}));
    ASSERT_TRUE(writeFile(dir / "USB/USB-10p-on.bmp", {'B', 'M', 2}));
    ASSERT_TRUE(writeFile(dir / "combo/COMBO-08P-ON.BMP", {'B', 'M', 3}));
    struct Case {
        const char* relative;
        const char* found; // under the folder, or "" for none
    } cases[] = {
        {"usb\\usb-10p-on.bmp", "usb/usb-10p-on.bmp"},
        {"USB\\USB-10p-on.bmp", "USB/USB-10p-on.bmp"},
        {"Usb\\usb-10P-on.bmp", "USB/USB-10p-on.bmp"}, // first of the two in name order
        {"Combo\\Combo-08p-on.bmp", "combo/COMBO-08P-ON.BMP"},
        {"Combo\\Combo-16p-on.bmp", ""},
        {"CF\\CF-08p-on.bmp", ""},
        {"..\\usb\\usb-10p-on.bmp", ""},
        {"usb", ""}, // a folder is not a picture
    };
    for (const Case& c : cases) {
        const std::string got = findFileIgnoringCase(dir.path, c.relative);
        EXPECT_EQ(got, *c.found ? dir / c.found : std::string()) << c.relative;
    }
}

TEST(PictureStore, TakesArchivePairsByRowAndSharesUsbImagesWithType15) {
    HandArchive hand;
    // Entries for rows 7 and 8 (USB 80 and 120 ports) and one matching no row.
    std::vector<PicturePair> pairs = {
        {2, 80, {'B', 'M', 80}, {'B', 'M', 81}},
        {2, 120, {'B', 'M', 120}, {'B', 'M', 121}},
        {9, 9, {'B', 'M', 9}, {'B', 'M', 9}},
    };
    PictureStore store;
    store.takeArchive(pairs);
    EXPECT_EQ(store.source(), PictureStore::Source::Archive);
    EXPECT_EQ(store.onImage(7), pairs[0].onImage);
    EXPECT_EQ(store.offImage(8), pairs[1].offImage);
    EXPECT_EQ(store.onImage(9), pairs[0].onImage);
    EXPECT_EQ(store.offImage(10), pairs[1].offImage);
    EXPECT_FALSE(store.hasImages(0));
    EXPECT_FALSE(store.hasImages(-1));
    EXPECT_TRUE(store.onImage(35).empty());
    store.clear();
    EXPECT_FALSE(store.hasImages(7));
}

TEST(PictureStore, ABrokenTailFallsBackToLooseFiles) {
    TempDir dir;
    // Every row's loose files, each image naming its row.
    for (int row = 0; row < kPictureRowCount; ++row) {
        std::string on = kPictureTable[row].onFile, off = kPictureTable[row].offFile;
        std::replace(on.begin(), on.end(), '\\', '/');
        std::replace(off.begin(), off.end(), '\\', '/');
        const uint8_t tag = uint8_t(kPictureTable[row].portCount);
        ASSERT_TRUE(writeFile(dir / on, {'B', 'M', tag, 1}));
        ASSERT_TRUE(writeFile(dir / off, {'B', 'M', tag, 0}));
    }
    HandArchive hand;
    ASSERT_TRUE(writeFile(dir / "program", hand.program));
    hand.program[hand.program.size() - 40] ^= 0x20; // one letter of the tail text
    ASSERT_TRUE(writeFile(dir / "broken", hand.program));

    PictureStore store;
    EXPECT_EQ(store.loadPictures(dir / "program", dir.path), PictureStore::Source::Archive);
    EXPECT_EQ(store.onImage(4), hand.images[0]);
    EXPECT_FALSE(store.hasImages(0));

    EXPECT_EQ(store.loadPictures(dir / "broken", dir.path), PictureStore::Source::LooseFiles);
    EXPECT_EQ(store.archiveStatus(), ArchiveStatus::NoTail);
    EXPECT_TRUE(store.missingFiles().empty());
    for (int row = 0; row < kPictureRowCount; ++row) {
        ASSERT_TRUE(store.hasImages(row)) << row;
        const std::vector<uint8_t> on = {'B', 'M', uint8_t(kPictureTable[row].portCount), 1};
        EXPECT_EQ(store.onImage(row), on) << row;
        EXPECT_EQ(store.offImage(row)[3], 0) << row;
    }

    // Without some of them, those rows stay empty and are named.
    std::filesystem::remove_all(dir / "CF");
    EXPECT_EQ(store.loadPictures(dir / "missing program", dir.path),
              PictureStore::Source::LooseFiles);
    EXPECT_EQ(store.archiveStatus(), ArchiveStatus::NoFile);
    EXPECT_EQ(store.missingFiles().size(), 12u);
    EXPECT_EQ(store.missingFiles().front(), "CF\\CF-08p-on.bmp");
    EXPECT_FALSE(store.hasImages(29));
    EXPECT_TRUE(store.hasImages(28));
}

} // namespace
