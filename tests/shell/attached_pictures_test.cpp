// This test program is built like the application: the build appends the
// picture archive to it and puts the loose picture folders beside it. It
// checks its own file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/byte_order.h"
#include "registry/picture_archive.h"
#include "shell_test_files.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::TempDir;
using shelltest::writeFile;

namespace {

std::string ownFile() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}
std::string ownDir() {
    return std::filesystem::path(ownFile()).parent_path().string();
}

// What the BMP headers say, read by hand: 14-byte file header, 40-byte
// information header, rows bottom-up, blue-green-red, padded to four bytes.
struct Bitmap {
    bool ok = false;
    int width = 0, height = 0, bits = 0;
    uint32_t dataOffset = 0;
    const std::vector<uint8_t>* bytes = nullptr;
    // Colour at (x, y) from the top left as 0xRRGGBB.
    uint32_t pixel(int x, int y) const {
        const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
        const uint8_t* p = bytes->data() + dataOffset + stride * size_t(height - 1 - y) + 3 * x;
        return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
};

Bitmap parseBitmap(const std::vector<uint8_t>& b) {
    Bitmap bmp;
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || readLE32(&b[2]) != b.size())
        return bmp;
    bmp.dataOffset = readLE32(&b[10]);
    bmp.width = int(readLE32(&b[18]));
    bmp.height = int(readLE32(&b[22]));
    bmp.bits = readLE16(&b[28]);
    const size_t stride = (size_t(bmp.width) * 3 + 3) & ~size_t(3);
    bmp.ok = readLE32(&b[14]) == 40 && readLE16(&b[26]) == 1 && readLE32(&b[30]) == 0 &&
             bmp.dataOffset + stride * size_t(bmp.height) <= b.size();
    bmp.bytes = &b;
    return bmp;
}

TEST(AttachedPictures, TheProgramCarriesThirtyThreePairsInTableOrder) {
    const ArchiveContents archive = readPictureArchiveFile(ownFile());
    ASSERT_EQ(archive.status, ArchiveStatus::Ok) << archiveStatusName(archive.status);
    ASSERT_EQ(archive.pairs.size(), 33u);
    size_t k = 0;
    for (int row = 0; row < kPictureRowCount; ++row) {
        if (row == 9 || row == 10)
            continue; // device type 15 has no entry of its own
        const PicturePair& pair = archive.pairs[k++];
        EXPECT_EQ(pair.deviceType, kPictureTable[row].deviceType) << row;
        EXPECT_EQ(pair.portCount, kPictureTable[row].portCount) << row;
        const Bitmap on = parseBitmap(pair.onImage), off = parseBitmap(pair.offImage);
        ASSERT_TRUE(on.ok && off.ok) << row;
        EXPECT_EQ(on.bits, 24);
        EXPECT_EQ(on.width, 130) << row;
        EXPECT_EQ(on.height, 100) << row;
        EXPECT_EQ(off.width, on.width) << row;
        EXPECT_EQ(off.height, on.height) << row;
        // The see-through colour at (1, 1) in both, and a panel that differs.
        EXPECT_EQ(on.pixel(1, 1), 0xFF00FFu) << row;
        EXPECT_EQ(off.pixel(1, 1), 0xFF00FFu) << row;
        EXPECT_NE(on.pixel(65, 50), 0xFF00FFu) << row;
        EXPECT_NE(pair.onImage, pair.offImage) << row;
        // "off" is grey all over.
        for (int y = 0; y < off.height; y += 3)
            for (int x = 0; x < off.width; x += 3) {
                const uint32_t p = off.pixel(x, y);
                const bool grey = (p >> 16) == (p & 0xFF) && ((p >> 8) & 0xFF) == (p & 0xFF);
                ASSERT_TRUE(p == 0xFF00FFu || grey) << row << " at " << x << "," << y;
            }
    }
}

TEST(AttachedPictures, LooseFilesBesideTheProgramHoldTheSameImages) {
    PictureStore fromArchive;
    ASSERT_EQ(fromArchive.loadPictures(ownFile(), "/nonexistent"), PictureStore::Source::Archive);
    PictureStore loose;
    loose.loadLooseFiles(ownDir());
    EXPECT_TRUE(loose.missingFiles().empty());
    for (int row = 0; row < kPictureRowCount; ++row) {
        ASSERT_TRUE(fromArchive.hasImages(row)) << row;
        EXPECT_EQ(loose.onImage(row), fromArchive.onImage(row)) << row;
        EXPECT_EQ(loose.offImage(row), fromArchive.offImage(row)) << row;
    }
}

TEST(AttachedPictures, AProgramWithABrokenTailLoadsTheLooseFiles) {
    TempDir dir;
    std::vector<uint8_t> program = readFile(ownFile());
    ASSERT_GT(program.size(), 44u);
    program[program.size() - 44] = 'X';
    ASSERT_TRUE(writeFile(dir / "program", program));
    PictureStore store;
    EXPECT_EQ(store.loadPictures(dir / "program", ownDir()), PictureStore::Source::LooseFiles);
    EXPECT_EQ(store.archiveStatus(), ArchiveStatus::NoTail);
    for (int row = 0; row < kPictureRowCount; ++row)
        EXPECT_TRUE(store.hasImages(row)) << row;
}

TEST(AttachedPictures, AttachingAgainReplacesTheArchive) {
    TempDir dir;
    const std::vector<uint8_t> program = readFile(ownFile());
    ASSERT_TRUE(writeFile(dir / "program", program));
    const std::string command =
        std::string(DUPMON_MAKE_PICTURES) + " --attach " + dir / "program" + " " + dir / "out";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(dir / "program"), program);
    EXPECT_TRUE(std::filesystem::exists(dir / "out/MicroSD/MicroSD-120p-off.bmp"));
    EXPECT_TRUE(std::filesystem::exists(dir / "out/usb/usb-10p-on.bmp"));
}

} // namespace
