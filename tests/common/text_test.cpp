#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "common/byte_order.h"
#include "common/result_codes.h"
#include "common/text.h"

using namespace dupmon;

TEST(TextHelpers, CutLineEndsAndBlanks) {
    EXPECT_EQ(cutLineEnd("abc\r\n\r\n"), "abc");
    EXPECT_EQ(cutLineEnd("a\nb\n"), "a\nb");
    EXPECT_EQ(cutTrailingBlanks("  x y   "), "  x y");
    EXPECT_EQ(trimBlanks("  x y   "), "x y");
    EXPECT_EQ(trimBlanks("    "), "");
}

TEST(TextHelpers, FixedFieldsNeverOverrun) {
    char field[8];
    std::memset(field, 'Z', sizeof field);
    copyField(field, sizeof field, "longer than the field");
    EXPECT_EQ(fieldText(field, sizeof field), "longer ");
    EXPECT_EQ(field[7], 0);
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(fieldText(full, 4), "abcd");
}

TEST(TextHelpers, SafeFileNames) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"LINE-01", "LINE-01"},      {"a/b\\c", "a_b_c"},       {"..", "__"},
        {"x<>:\"|?*y", "x_______y"}, {"tab\there", "tab_here"}, {"Dup 3 (left)", "Dup 3 (left)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(safeFileName(c.in), c.out) << c.in;
}

TEST(TextHelpers, MachineFileNamesAreOneToOneAndKeepPlainIds) {
    struct Case {
        std::string in;
        const char* out;
    } cases[] = {
        {"LINE-01", "LINE-01"},
        {"X_1", "X_1"},
        {"X/1", "X%2F1"},
        {"a\\b", "a%5Cb"},
        {"50%", "50%25"},
        {"%2F", "%252F"},
        {"../../x", "..%2F..%2Fx"},
        {"x<>:\"|?*y", "x%3C%3E%3A%22%7C%3F%2Ay"},
        {std::string("t\x01\x7F", 3), "t%01%7F"},
        {"Dup 3 (left).", "Dup 3 (left)."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(machineFileName(c.in), c.out) << c.in;
        EXPECT_EQ(machineIdFromFileName(c.out), c.in) << c.out;
    }
    // Ids that differ only where the old mapping put "_" keep apart.
    std::set<std::string> names;
    const char* ids[] = {"X_1", "X/1", "X\\1", "X:1", "X%2F1", "X%1", "X*1", "X?1", "X1"};
    for (const char* id : ids)
        names.insert(machineFileName(id));
    EXPECT_EQ(names.size(), std::size(ids));
}

TEST(ByteOrder, ReadsAndWritesBothOrders) {
    uint8_t b[8];
    writeBE32(b, 0x11223344);
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(readBE32(b), 0x11223344u);
    EXPECT_EQ(readLE32(b), 0x44332211u);
    writeBE64(b, 0x0102030405060708ull);
    EXPECT_EQ(readBE64(b), 0x0102030405060708ull);
    writeLE16(b, 0xABCD);
    EXPECT_EQ(b[0], 0xCD);
    EXPECT_EQ(readBE16(b), 0xCDAB);
}

TEST(ResultCodes, NamesAndUnknownCodes) {
    EXPECT_EQ(errorName(0), "PASS");
    EXPECT_EQ(errorName(5), "DATABASE_WRONG_VERSION");
    EXPECT_EQ(errorName(7), "DATABASE_WRITE_FAIL");
    EXPECT_EQ(errorName(9), "unknown error code (9)");
    EXPECT_EQ(errorName(-1), "unknown error code (-1)");
}
