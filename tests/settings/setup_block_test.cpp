// The setup parameter block: field table, combo tables, load, store, TEST
// and the enabling rules, with no window.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>

#include "common/byte_order.h"
#include "settings/setup_block.h"

using namespace dupmon;

namespace {

using Block = std::array<uint8_t, kSetupBlockSize>;

// Every byte different, so a byte that moves or changes shows.
Block patternBlock() {
    Block b;
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(i * 37 + 11);
    return b;
}

// A block whose every known field holds a value its control shows exactly.
Block plainBlock() {
    Block b = patternBlock();
    b[65] = 90;
    b[102] = 1;
    b[104] = 0;
    b[105] = 4;
    b[133] = 25;
    b[146] = 1;
    b[149] = 2;
    b[150] = 5;
    b[151] = 3;
    b[153] = 1;
    b[154] = 0xA5;
    b[155] = 7;
    writeBE16(&b[156], 3);
    writeBE16(&b[158], 125);
    writeBE16(&b[160], 75);
    b[162] = 1;
    writeBE32(&b[196], 250);
    b[209] = 1;
    b[220] = 3;
    writeBE16(&b[222], 40);
    b[226] = 15;
    writeBE16(&b[228], 2880);
    writeBE32(&b[236], 12345);
    return b;
}

// The offsets and sizes of the known fields, written out by hand.
std::set<size_t> knownBytes() {
    const std::pair<size_t, size_t> fields[] = {
        {65, 1},  {102, 1}, {104, 1}, {105, 1}, {133, 1}, {146, 1}, {149, 1}, {150, 1},
        {151, 1}, {153, 1}, {154, 1}, {155, 1}, {156, 2}, {158, 2}, {160, 2}, {162, 1},
        {196, 4}, {209, 1}, {220, 1}, {222, 2}, {226, 1}, {228, 2}, {236, 4}};
    std::set<size_t> s;
    for (auto [offset, size] : fields)
        for (size_t i = 0; i < size; ++i)
            s.insert(offset + i);
    return s;
}

SetupBlockEditor loaded(const Block& b) {
    SetupBlockEditor e;
    e.load(b.data());
    return e;
}

Block okAndTake(SetupBlockEditor& e) {
    e.ok();
    Block out;
    e.take(out.data());
    return out;
}

} // namespace

TEST(SetupFields, TableMatchesTheBlockLayout) {
    const auto& fields = setupFields();
    std::set<size_t> covered;
    for (const SetupField& f : fields) {
        for (size_t i = 0; i < f.size; ++i)
            EXPECT_TRUE(covered.insert(f.offset + i).second) << f.control << " overlaps";
        EXPECT_LE(f.offset + f.size, kSetupBlockSize) << f.control;
        if (f.kind == SetupControlKind::MaskEdit)
            EXPECT_TRUE(f.items.empty()) << f.control;
        else
            EXPECT_FALSE(f.items.empty()) << f.control;
    }
    EXPECT_EQ(covered, knownBytes());
    EXPECT_STREQ(fields[SETUP_BUTTON_BEEP].caption, "Button Beep:");
    EXPECT_STREQ(fields[SETUP_COPY_AREA].caption, "Copy Area:");
    EXPECT_STREQ(fields[SETUP_POWER_OFF].unit, "(0 to 15)     Seconds");
    EXPECT_STREQ(fields[SETUP_TOLERANCE].items[2], "Allow Tolerance (+   %,-   %)");
}

TEST(SetupTables, TextsAndValues) {
    const auto& burn = burnTimeTable();
    const auto& limit = errorLimitTable();
    struct BurnCase {
        size_t index;
        const char* text;
        uint16_t minutes;
    } burnCases[] = {{0, "30 min", 30},      {1, " 1 hour ", 60},  {2, " 2 hours", 120},
                     {23, "23 hours", 1380}, {24, " 1 day", 1440}, {25, " 2 days", 2880},
                     {53, "30 days", 43200}};
    for (const auto& c : burnCases) {
        EXPECT_STREQ(burn[c.index].text, c.text) << c.index;
        EXPECT_EQ(burn[c.index].minutes, c.minutes) << c.index;
    }
    struct LimitCase {
        size_t index;
        const char* text;
        uint32_t value;
    } limitCases[] = {{0, "0", 0},       {1, "0.01%", 1},   {9, "0.09%", 9},   {10, "0.1%", 10},
                      {18, "0.9%", 90},  {19, "1.0%", 100}, {20, "1.1%", 110}, {39, "3.0%", 300},
                      {40, "3.5%", 350}, {47, "9.0%", 900}, {48, "10%", 1000}, {49, "15%", 1500},
                      {53, "50%", 5000}};
    for (const auto& c : limitCases) {
        EXPECT_STREQ(limit[c.index].text, c.text) << c.index;
        EXPECT_EQ(limit[c.index].value, c.value) << c.index;
    }
    for (size_t i = 1; i < burn.size(); ++i)
        EXPECT_LT(burn[i - 1].minutes, burn[i].minutes);
    for (size_t i = 1; i < limit.size(); ++i)
        EXPECT_LT(limit[i - 1].value, limit[i].value);
    ASSERT_EQ(startupMenuItems().size(), 9u);
    EXPECT_STREQ(startupMenuItems()[0], "1.Copy");
    EXPECT_STREQ(startupMenuItems()[8], "9.Log Manager");
}

TEST(SetupBlock, OkAloneKeepsEveryByte) {
    // A block whose values the controls show exactly comes back whole.
    SetupBlockEditor plain = loaded(plainBlock());
    EXPECT_EQ(okAndTake(plain), plainBlock());

    // Any block: every byte outside the known fields comes back unchanged,
    // and so do the tolerance bytes (the tolerance is not "Allow") and the
    // working mode, whose value selects no item.
    const Block in = patternBlock();
    SetupBlockEditor e = loaded(in);
    const Block out = okAndTake(e);
    const std::set<size_t> known = knownBytes();
    for (size_t i = 0; i < kSetupBlockSize; ++i) {
        if (!known.count(i)) {
            EXPECT_EQ(out[i], in[i]) << "byte " << i;
        }
    }
    ASSERT_NE(in[149], 2);
    EXPECT_EQ(out[150], in[150]);
    EXPECT_EQ(out[151], in[151]);
    ASSERT_EQ(e.controls[SETUP_WORKING_MODE].index, -1);
    EXPECT_EQ(out[220], in[220]);
}

TEST(SetupBlock, LoadShowsEveryField) {
    SetupBlockEditor e = loaded(plainBlock());
    const SetupControls& c = e.controls;
    EXPECT_EQ(c[SETUP_H3_RANGE].text, "90");
    EXPECT_EQ(c[SETUP_BUTTON_BEEP].index, 1);
    EXPECT_EQ(c[SETUP_COPY_AREA].index, 0);
    EXPECT_EQ(c[SETUP_STARTUP_MENU].index, 4);
    EXPECT_EQ(c[SETUP_TOLERANCE].index, 2);
    EXPECT_EQ(c[SETUP_TOLERANCE_PLUS].text, "5");
    EXPECT_EQ(c[SETUP_PATTERN].text, "A5");
    EXPECT_EQ(c[SETUP_COMPARE_COUNT].text, "3");
    EXPECT_EQ(c[SETUP_READ_SPEED].text, "12.5");
    EXPECT_EQ(c[SETUP_WRITE_SPEED].text, "7.5");
    EXPECT_EQ(c[SETUP_BURNIN_MODE].index, 1);
    EXPECT_EQ(c[SETUP_ERROR_LIMIT].index, 34); // "2.5%"
    EXPECT_EQ(c[SETUP_WORKING_MODE].index, 3);
    EXPECT_EQ(c[SETUP_BURN_TIME].index, 25); // " 2 days"
    EXPECT_EQ(c[SETUP_BURN_LOOP].text, "12345");
}

TEST(SetupBlock, WorkingModeTable) {
    struct Case {
        uint8_t stored;
        int index; // -1: nothing selected
    } cases[] = {{0, 0}, {2, 1}, {1, 2}, {3, 3}, {4, 4}, {5, -1}, {255, -1}};
    for (const auto& c : cases) {
        Block b = patternBlock();
        b[220] = c.stored;
        SetupBlockEditor e = loaded(b);
        EXPECT_EQ(e.controls[SETUP_WORKING_MODE].index, c.index) << int(c.stored);
        // Unchanged, the byte goes back as it came, known or not.
        EXPECT_EQ(okAndTake(e)[220], c.stored);
    }
    // Stored 1 shows "Slowest Mode"; choosing "Slower Mode" stores 2.
    Block b = patternBlock();
    b[220] = 1;
    SetupBlockEditor e = loaded(b);
    EXPECT_STREQ(workingModeItems()[size_t(e.controls[SETUP_WORKING_MODE].index)], "Slowest Mode");
    e.controls[SETUP_WORKING_MODE].index = 1;
    EXPECT_STREQ(workingModeItems()[1], "Slower Mode");
    EXPECT_EQ(okAndTake(e)[220], 2);
}

TEST(SetupBlock, BurnTimeTable) {
    struct Case {
        uint16_t stored;
        int index;        // -1: nothing selected
        uint16_t afterOk; // in burn-time mode
    } cases[] = {{0, 0, 30},         {30, 0, 30},        {59, 0, 30},        {60, 1, 60},
                 {100, 1, 60},       {1380, 23, 1380},   {1439, 23, 1380},   {1440, 24, 1440},
                 {43199, 52, 41760}, {43200, 53, 43200}, {43201, -1, 43201}, {65535, -1, 65535}};
    for (const auto& c : cases) {
        Block b = patternBlock();
        writeBE16(&b[228], c.stored);
        b[162] = 1; // burn time mode
        SetupBlockEditor e = loaded(b);
        EXPECT_EQ(e.controls[SETUP_BURN_TIME].index, c.index) << c.stored;
        EXPECT_EQ(readBE16(&okAndTake(e)[228]), c.afterOk) << c.stored;
        // In burn-loop mode the burn time is never written.
        b[162] = 0;
        SetupBlockEditor loop = loaded(b);
        loop.controls[SETUP_BURN_TIME].index = 5;
        EXPECT_EQ(readBE16(&okAndTake(loop)[228]), c.stored) << c.stored;
    }
    Block b = patternBlock();
    writeBE16(&b[228], 100);
    EXPECT_STREQ(burnTimeTable()[size_t(loaded(b).controls[SETUP_BURN_TIME].index)].text,
                 " 1 hour ");
}

TEST(SetupBlock, ErrorLimitTable) {
    struct Case {
        uint32_t stored;
        const char* shown; // nullptr: nothing selected
        uint32_t afterOk;
    } cases[] = {{0, "0", 0},         {5, "0.05%", 5},       {55, "0.5%", 50},
                 {100, "1.0%", 100},  {349, "3.0%", 300},    {4999, "40%", 4000},
                 {5000, "50%", 5000}, {6000, nullptr, 6000}, {0xFFFFFFFF, nullptr, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        Block b = patternBlock();
        writeBE32(&b[196], c.stored);
        SetupBlockEditor e = loaded(b);
        const int index = e.controls[SETUP_ERROR_LIMIT].index;
        if (c.shown) {
            ASSERT_GE(index, 0) << c.stored;
            EXPECT_STREQ(errorLimitTable()[size_t(index)].text, c.shown);
        } else {
            EXPECT_EQ(index, -1) << c.stored;
        }
        EXPECT_EQ(readBE32(&okAndTake(e)[196]), c.afterOk) << c.stored;
    }
}

TEST(SetupBlock, ChoicesWithoutAnItemLeaveTheirBytes) {
    struct Case {
        SetupFieldId field;
        uint16_t offset;
        uint8_t stored;
        int index;
        uint8_t afterOk;
    } cases[] = {
        {SETUP_BUTTON_BEEP, 102, 0, 0, 0},  {SETUP_BUTTON_BEEP, 102, 7, 1, 1},
        {SETUP_TOLERANCE, 149, 2, 2, 2},    {SETUP_TOLERANCE, 149, 3, -1, 3},
        {SETUP_STARTUP_MENU, 105, 8, 8, 8}, {SETUP_STARTUP_MENU, 105, 9, -1, 9},
        {SETUP_ASYNCHRONOUS, 209, 1, 1, 1},
    };
    for (const auto& c : cases) {
        Block b = patternBlock();
        b[c.offset] = c.stored;
        SetupBlockEditor e = loaded(b);
        EXPECT_EQ(e.controls[c.field].index, c.index) << setupFields()[c.field].control;
        EXPECT_EQ(okAndTake(e)[c.offset], c.afterOk) << setupFields()[c.field].control;
    }
    // An operator's choice is stored as its index.
    SetupBlockEditor e = loaded(patternBlock());
    e.controls[SETUP_STARTUP_MENU].index = 6;
    e.controls[SETUP_COPY_AREA].index = 1;
    const Block out = okAndTake(e);
    EXPECT_EQ(out[105], 6);
    EXPECT_EQ(out[104], 1);
}

TEST(SetupBlock, ToleranceBytesAreWrittenOnlyWhenAllowed) {
    for (int tolerance : {0, 1, 2}) {
        Block b = patternBlock();
        b[149] = uint8_t(tolerance);
        SetupBlockEditor e = loaded(b);
        e.controls[SETUP_TOLERANCE_PLUS].text = "12";
        e.controls[SETUP_TOLERANCE_MINUS].text = "4";
        const Block out = okAndTake(e);
        EXPECT_EQ(out[150], tolerance == 2 ? 12 : b[150]) << tolerance;
        EXPECT_EQ(out[151], tolerance == 2 ? 4 : b[151]) << tolerance;
    }
    // Chosen in the dialog, "Allow Tolerance" writes them too.
    SetupBlockEditor e = loaded(patternBlock());
    e.controls[SETUP_TOLERANCE].index = 2;
    e.controls[SETUP_TOLERANCE_PLUS].text = "9";
    e.controls[SETUP_TOLERANCE_MINUS].text = "8";
    const Block out = okAndTake(e);
    EXPECT_EQ(out[149], 2);
    EXPECT_EQ(out[150], 9);
    EXPECT_EQ(out[151], 8);
}

TEST(SetupBlock, PatternAndBurnLoopFollowTheirModes) {
    Block b = patternBlock();
    b[153] = 0; // auto pattern
    b[162] = 0; // burn loop
    SetupBlockEditor e = loaded(b);
    e.controls[SETUP_PATTERN].text = "3c";
    e.controls[SETUP_BURN_LOOP].text = "70000";
    Block out = okAndTake(e);
    EXPECT_EQ(out[154], b[154]);
    EXPECT_EQ(readBE32(&out[236]), 70000u);

    e.controls[SETUP_PATTERN_MODE].index = 1;
    e.controls[SETUP_BURNIN_MODE].index = 1;
    e.controls[SETUP_BURN_LOOP].text = "5";
    e.controls[SETUP_BURN_TIME].index = 2;
    out = okAndTake(e);
    EXPECT_EQ(out[154], 0x3C);
    EXPECT_EQ(readBE32(&out[236]), 70000u); // loop count not written in burn-time mode
    EXPECT_EQ(readBE16(&out[228]), 120);
}

TEST(SetupBlock, TestShowsWhatWouldBeStoredAndSendsNothing) {
    struct Case {
        SetupFieldId field;
        const char* typed;
        const char* shown;
    } cases[] = {
        {SETUP_H3_RANGE, "abc", "0"},         {SETUP_H3_RANGE, " 42x", "42"},
        {SETUP_H3_RANGE, "300", "44"},        {SETUP_H3_RANGE, "", "0"},
        {SETUP_BURN_RANGE, "-1", "255"},      {SETUP_COMPARE_COUNT, "70000", "4464"},
        {SETUP_COMPARE_COUNT, "3.9", "3"},    {SETUP_BAD_LIMIT, "1e5", "1"},
        {SETUP_READ_SPEED, "7.5", "7.5"},     {SETUP_READ_SPEED, "12.5", "12.5"},
        {SETUP_READ_SPEED, "12", "12.0"},     {SETUP_READ_SPEED, "abc", "0.0"},
        {SETUP_READ_SPEED, "123.4", "123.4"}, {SETUP_WRITE_SPEED, " 3.25", "3.2"},
        {SETUP_WRITE_SPEED, "5.x", "5.0"},    {SETUP_PATTERN, "zz", "00"},
        {SETUP_PATTERN, "f", "0F"},           {SETUP_PATTERN, "7e9", "7E"},
        {SETUP_BURN_LOOP, "99999", "99999"},
    };
    for (const auto& c : cases) {
        Block b = plainBlock(); // user pattern, allow tolerance, burn time mode
        b[162] = c.field == SETUP_BURN_LOOP ? 0 : 1;
        SetupBlockEditor e = loaded(b);
        e.controls[c.field].text = c.typed;
        e.test();
        EXPECT_EQ(e.controls[c.field].text, c.shown)
            << setupFields()[c.field].control << " " << c.typed;
        // TEST leaves the dialog's block as it was loaded.
        Block kept;
        e.take(kept.data());
        EXPECT_EQ(kept, b);
    }
}

TEST(SetupBlock, ATypedValueOutOfItsRangeIsRefusedWithTheRange) {
    struct Case {
        SetupFieldId field;
        const char* typed;
        const char* message; // empty: taken
    } cases[] = {
        {SETUP_H3_RANGE, "100", ""},
        {SETUP_H3_RANGE, "300",
         "Media Check Test Range: 300 is out of range (allowed 0 to 100 %)."},
        {SETUP_BURN_RANGE, "101", "Burn-In Test Range: 101 is out of range (allowed 0 to 100 %)."},
        {SETUP_TOLERANCE_PLUS, "99", ""},
        {SETUP_POWEROFF_BURNIN, "255", ""},
        {SETUP_POWEROFF_BURNIN, "256",
         "Burn-In Power Off: 256 is out of range (allowed 0 to 255 Seconds)."},
        {SETUP_POWER_OFF, "15", ""},
        {SETUP_POWER_OFF, "16",
         "Copy-Compare Power Off: 16 is out of range (allowed 0 to 15 Seconds)."},
        {SETUP_COMPARE_COUNT, "65535", ""},
        {SETUP_COMPARE_COUNT, "70000",
         "Compare Count per Loop: 70000 is out of range (allowed 0 to 65535)."},
        {SETUP_BAD_LIMIT, "65536",
         "Burn-In Bad Limit: 65536 is out of range (allowed 0 to 65535)."},
        {SETUP_READ_SPEED, "6553.5", ""},
        {SETUP_READ_SPEED, "6553.6",
         "Minimum Read Speed: 6553.6 is out of range (allowed 0.0 to 6553.5 MB/s)."},
        {SETUP_WRITE_SPEED, "99999999999",
         "Minimum Write Speed: 99999999999 is out of range (allowed 0.0 to 6553.5 MB/s)."},
        {SETUP_BURN_LOOP, "4294967295", ""},
        {SETUP_BURN_LOOP, "4294967296",
         "Burn Loop: 4294967296 is out of range (allowed 0 to 4294967295)."},
        {SETUP_H3_RANGE, "", ""}, // an empty field is 0
        {SETUP_PATTERN, "FF", ""},
    };
    for (const auto& c : cases) {
        Block b = plainBlock(); // user pattern, allow tolerance, burn time mode
        b[162] = c.field == SETUP_BURN_LOOP ? 0 : 1;
        SetupBlockEditor e = loaded(b);
        e.controls[c.field].text = c.typed;
        const std::optional<SetupInputProblem> p = e.inputProblem();
        if (!*c.message) {
            EXPECT_FALSE(p) << setupFields()[c.field].control << " " << c.typed << ": "
                            << p->message;
            continue;
        }
        ASSERT_TRUE(p) << setupFields()[c.field].control << " " << c.typed;
        EXPECT_EQ(p->field, c.field);
        EXPECT_EQ(p->message, c.message);
    }
}

TEST(SetupBlock, AValueLeftAsTheMachineGaveItIsNotRefused) {
    Block b = plainBlock();
    b[65] = 200; // more than 100 %: the machine's own business
    b[226] = 40; // more than the label's 15 seconds
    b[149] = 1;  // no tolerance: its bytes are not written
    b[150] = 150;
    SetupBlockEditor e = loaded(b);
    EXPECT_FALSE(e.inputProblem());
    // Typed into a field that is not written now, nothing is refused either.
    e.controls[SETUP_TOLERANCE_PLUS].text = "150";
    EXPECT_FALSE(e.inputProblem());
    // But the same value typed again after a change is checked like any other.
    e.controls[SETUP_H3_RANGE].text = "201";
    ASSERT_TRUE(e.inputProblem());
    EXPECT_EQ(e.inputProblem()->field, SETUP_H3_RANGE);
}

TEST(SetupBlock, NumberConversions) {
    EXPECT_EQ(setupNumberValue("  17"), 17u);
    EXPECT_EQ(setupNumberValue("+8"), 8u);
    EXPECT_EQ(setupNumberValue("4294967296"), 0u); // wraps modulo 2^32
    EXPECT_EQ(setupSpeedValue("12.5"), 125u);
    EXPECT_EQ(setupSpeedValue(".5"), 5u);
    EXPECT_EQ(setupHexValue(" a5"), 0xA5);
    EXPECT_EQ(setupHexValue(""), 0);
}

TEST(SetupBlock, EnablingRules) {
    struct Case {
        int tolerance, burnin, pattern;
        SetupEnabling expected;
    } cases[] = {
        {0, 0, 0, {false, false, true, false}},     {1, 1, 1, {false, true, false, true}},
        {2, 0, 1, {true, false, true, true}},       {2, 1, 0, {true, true, false, false}},
        {-1, -1, -1, {false, false, false, false}},
    };
    for (const auto& c : cases) {
        SetupBlockEditor e;
        e.controls[SETUP_TOLERANCE].index = c.tolerance;
        e.controls[SETUP_BURNIN_MODE].index = c.burnin;
        e.controls[SETUP_PATTERN_MODE].index = c.pattern;
        EXPECT_EQ(e.enabling(), c.expected) << c.tolerance << " " << c.burnin << " " << c.pattern;
    }
}
