// The display operations and renderers: each port's two lines, texts and colours.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "machine_window/port_display.h"

using namespace dupmon;

namespace {

constexpr uint32_t kSpm = 2048; // 512-byte sectors

// A port with round amounts: 1000 MiB capacity, 250 MiB done, 300 MiB of
// source data, address at 400 MiB, 900 MiB found by a capacity check.
PortRecord basePort() {
    PortRecord p{};
    p.sectorsPerMB = kSpm;
    p.capacity = 1000ull * kSpm;
    p.completeSector = 250ull * kSpm;
    p.dataSectors = 300ull * kSpm;
    p.addr = 400ull * kSpm; // 0xC8000
    p.realCapacity = 900ull * kSpm;
    p.failAddr = 0x1234;
    p.speed = 3 * kSpm;              // 3.00
    p.rSpeed = 25 * kSpm;            // 25.0
    p.wSpeed = 12 * kSpm + kSpm / 2; // 12.5
    p.erasePattern = 0xA5;
    p.loop = 4;
    return p;
}

using C = LineColour;

struct Case {
    const char* name;
    int function, phase, index;
    bool kind2;
    std::function<void(PortRecord&)> setup;
    std::function<void(PortRenderer&)> render;
    PortLines expected;
};

// Lines before rendering: a marker that shows what a renderer leaves alone.
PortLines marked() {
    return {{"old1", C::Window}, {"old2", C::Window}};
}

#define R(call) [](PortRenderer& r) { r.call; }
#define S(body) [](PortRecord& p) { body; }

const Case kCases[] = {
    {"targets: ready",
     1,
     3,
     1,
     false,
     S(p.usbCardStatus = 80),
     R(RenderTargets()),
     {{" ", C::Window}, {"Ready  1000M", C::Window}}},
    {"targets: size not enough",
     1,
     3,
     1,
     false,
     S(p.usbCardStatus = 81),
     R(RenderTargets()),
     {{"       1000M", C::Red}, {"SizeNotEnough", C::Red}}},
    {"targets: other status blanks the texts only",
     1,
     3,
     1,
     false,
     S(p.usbCardStatus = 3),
     R(RenderTargets()),
     {{" ", C::Window}, {" ", C::Window}}},
    {"targets: master port untouched", 1, 3, 0, false, S(p.usbCardStatus = 80), R(RenderTargets()),
     marked()},
    {"working: writing",
     1,
     4,
     1,
     false,
     S(p.usbCardStatus = 3),
     R(RenderWorking()),
     {{"       1000M", C::SkyBlue}, {"Write   250M", C::SkyBlue}}},
    {"working: comparing in a copy+compare",
     5,
     13,
     1,
     false,
     S(p.usbCardStatus = 5; p.isRead = 1; p.isCompare = 1),
     R(RenderWorking()),
     {{"       1000M", C::SkyBlue}, {"Comp    250M", C::SkyBlue}}},
    {"working: reading",
     1,
     4,
     1,
     false,
     S(p.usbCardStatus = 2; p.isRead = 1),
     R(RenderWorking()),
     {{"       1000M", C::SkyBlue}, {"Read    250M", C::SkyBlue}}},
    {"working: pass",
     1,
     4,
     1,
     false,
     S(p.usbCardStatus = 5),
     R(RenderWorking()),
     {{"       1000M", C::Green}, {"PASS    250M", C::Green}}},
    {"working: fail while working",
     1,
     4,
     1,
     false,
     S(p.usbCardStatus = 6),
     R(RenderWorking()),
     {{"       1000M", C::Red}, {"FAIL    250M", C::Red}}},
    {"working: power off",
     1,
     7,
     1,
     false,
     S(p.usbCardStatus = 85),
     R(RenderWorking()),
     {{" ", C::SkyBlue}, {"Power OFF", C::SkyBlue}}},
    {"outcome: fail after work shows the failing address",
     1,
     6,
     1,
     false,
     S(p.usbCardStatus = 6),
     R(RenderOutcome()),
     {{"       1000M", C::Red}, {"FAIL(1234h)", C::Red}}},
    {"outcome: low read speed is a warning",
     1,
     6,
     1,
     false,
     S(p.usbCardStatus = 99; p.chipStatus = 0x40),
     R(RenderOutcome()),
     {{" ", C::Yellow}, {"BAD(99)", C::Yellow}}},
    {"outcome: bad",
     1,
     6,
     1,
     false,
     S(p.usbCardStatus = 99),
     R(RenderOutcome()),
     {{" ", C::Red}, {"BAD(99)", C::Red}}},
    {"outcome: empty port without probe", 1, 6, 1, false, S(p.usbCardStatus = 1),
     R(RenderOutcome()), marked()},
    {"copy: master ready while reading the master",
     1,
     1,
     0,
     false,
     S(p.usbCardStatus = 80),
     R(RenderCopy()),
     {{" ", C::Window}, {"Ready  1000M", C::Window}}},
    {"copy: targets wait while reading the master", 1, 1, 1, false, S(p.usbCardStatus = 80),
     R(RenderCopy()), marked()},
    {"copy: master port amount is its source data",
     1,
     3,
     0,
     false,
     S(p.usbCardStatus = 81),
     R(RenderCopy()),
     {{"        300M", C::Red}, {"SizeNotEnough", C::Red}}},
    {"copy: purge",
     1,
     8,
     1,
     false,
     S(p.inWorking = 1),
     R(RenderCopy()),
     {{" ", C::SkyBlue}, {"Purge...", C::SkyBlue}}},
    {"copy: finish blanks",
     1,
     10,
     1,
     false,
     S(p.usbCardStatus = 5),
     R(RenderCopy()),
     {{" ", C::WindowFrame}, {" ", C::WindowFrame}}},
    {"copy: status 84 while working shows nothing new", 1, 4, 1, false, S(p.usbCardStatus = 84),
     R(RenderCopy()), marked()},
    {"copy: burn-in copy with chip 7 is bad",
     23,
     6,
     1,
     false,
     S(p.usbCardStatus = 0; p.chipStatus = 7),
     R(RenderCopy()),
     {{" ", C::Red}, {"BAD(0)", C::Red}}},
    {"async copy: too small",
     6,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.chipStatus = 17),
     R(RenderAsyncCopy()),
     {{"       1000M", C::Red}, {"SizeNotEnough", C::Red}}},
    {"async copy: pass",
     6,
     13,
     1,
     false,
     S(p.usbCardStatus = 77),
     R(RenderAsyncCopy()),
     {{"       1000M", C::Green}, {"PASS    250M", C::Green}}},
    {"erase: erasing",
     11,
     4,
     1,
     false,
     S(p.usbCardStatus = 13),
     R(RenderErase()),
     {{"Erase  1000M", C::SkyBlue}, {"[A5]    400M", C::SkyBlue}}},
    {"erase: pass",
     11,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1),
     R(RenderErase()),
     {{" ", C::Green}, {"PASS   1000M", C::Green}}},
    {"erase: fail",
     11,
     4,
     1,
     false,
     S(p.usbCardStatus = 128),
     R(RenderErase()),
     {{"       1000M", C::Red}, {"FAIL    400M", C::Red}}},
    {"erase: outside the working phases nothing", 11, 6, 1, false, S(p.usbCardStatus = 13),
     R(RenderErase()), marked()},
    {"test: read speed",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 16; p.isRead = 1),
     R(RenderTest()),
     {{"old1", C::Window}, {"R3.00   250M", C::SkyBlue}}},
    {"test: write speed",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 135),
     R(RenderTest()),
     {{"W3.00   250M", C::SkyBlue}, {"old2", C::Window}}},
    {"test: write and read pass",
     15,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1),
     R(RenderTest()),
     {{"W12.5 MB/S", C::Green}, {"R25.0 MB/S", C::Green}}},
    {"test: read pass",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1),
     R(RenderTest()),
     {{"old1", C::Window}, {"R25.0 MB/S", C::Green}}},
    {"test: low read speed",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 127; p.chipStatus = 0x40),
     R(RenderTest()),
     {{"Low R.Speed", C::Red}, {"R25.0 MB/S", C::Red}}},
    {"test: low write speed",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 127; p.chipStatus = 0x41),
     R(RenderTest()),
     {{"Low W.Speed", C::Red}, {"W12.5 MB/S", C::Red}}},
    {"test: over capacity",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 127; p.chipStatus = 0x26),
     R(RenderTest()),
     {{"Over Capacity", C::Red}, {"1000 MB", C::Red}}},
    {"test: low capacity beyond four digits",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 127; p.chipStatus = 0x27; p.capacity = 30528ull * kSpm),
     R(RenderTest()),
     {{"Low Capacity", C::Red}, {"30528 MB", C::Red}}},
    {"test: bad",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 127),
     R(RenderTest()),
     {{"Bad !", C::Red}, {"LBA=C8000h", C::Red}}},
    {"test: fail without sectors per MiB never divides",
     14,
     4,
     1,
     false,
     S(p.usbCardStatus = 127; p.chipStatus = 0x40; p.sectorsPerMB = 0),
     R(RenderTest()),
     {{"Bad !", C::Red}, {"LBA=C8000h", C::Red}}},
    {"check: testing",
     16,
     4,
     1,
     false,
     S(p.usbCardStatus = 19),
     R(RenderCheck()),
     {{"       1000M", C::SkyBlue}, {"Testing...", C::SkyBlue}}},
    {"check: fail shows the capacity found",
     16,
     4,
     1,
     false,
     S(p.usbCardStatus = 52),
     R(RenderCheck()),
     {{"       1000M", C::Red}, {"FAIL    900M", C::Red}}},
    {"check: pass",
     16,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1),
     R(RenderCheck()),
     {{"       1000M", C::Green}, {"PASS   1000M", C::Green}}},
    {"format: formatting",
     24,
     4,
     1,
     false,
     S(p.usbCardStatus = 20),
     R(RenderFormat()),
     {{"       1000M", C::SkyBlue}, {"Formating...", C::SkyBlue}}},
    {"format: pass shows no amount",
     24,
     4,
     1,
     false,
     S(p.usbCardStatus = 35; p.result = 1),
     R(RenderFormat()),
     {{"       1000M", C::Green}, {"PASS !", C::Green}}},
    {"burn-in: progress counts from the address",
     22,
     4,
     1,
     false,
     S(p.life = 3),
     R(RenderBurnIn()),
     {{"L5     1000M", C::SkyBlue}, {"Write   400M", C::SkyBlue}}},
    {"burn-in: done with a fault",
     22,
     4,
     1,
     false,
     S(p.life = 7; p.chipStatus = 3),
     R(RenderBurnIn()),
     {{"L5     1000M", C::Red}, {"FAIL !", C::Red}}},
    {"set protect: pass",
     80,
     6,
     1,
     false,
     S(p.usbCardStatus = 137; p.result = 1; p.cardExist = 1),
     R(RenderSetProtect()),
     {{"PASS", C::Green}, {"WriteProtect", C::Yellow}}},
    {"set protect: no device",
     80,
     6,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1),
     R(RenderSetProtect()),
     {{" ", C::WindowFrame}, {" ", C::WindowFrame}}},
    {"set protect: fail",
     80,
     6,
     1,
     false,
     S(p.usbCardStatus = 52; p.cardExist = 1),
     R(RenderSetProtect()),
     {{"       1000M", C::Red}, {"FAIL !", C::Red}}},
    {"release protect: testing",
     81,
     4,
     1,
     false,
     S(p.usbCardStatus = 139),
     R(RenderReleaseProtect()),
     {{"       1000M", C::SkyBlue}, {"Testing...", C::SkyBlue}}},
    {"release protect: pass",
     81,
     4,
     1,
     false,
     S(p.usbCardStatus = 34; p.result = 1; p.cardExist = 1),
     R(RenderReleaseProtect()),
     {{"PASS", C::Green}, {"Writable", C::Green}}},
    {"show protect: protected",
     82,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1; p.cardExist = 1; p.protectBits = 0x80),
     R(RenderShowProtect()),
     {{" ", C::Green}, {"WriteProtect", C::Yellow}}},
    {"show protect: writable",
     82,
     4,
     1,
     false,
     S(p.usbCardStatus = 52; p.result = 1; p.cardExist = 1),
     R(RenderShowProtect()),
     {{" ", C::Green}, {"Writable", C::Green}}},
    {"source: master holding data",
     1,
     3,
     0,
     false,
     S(p.usbCardStatus = 80),
     R(ShowSource()),
     {{"Source  300M", C::Green}, {" ", C::Green}}},
    {"source: reading",
     1,
     1,
     0,
     false,
     S(p.usbCardStatus = 2),
     R(ShowSource()),
     {{" ", C::Green}, {"Reading...", C::Green}}},
    {"source: no amounts yet sets colours only",
     1,
     3,
     0,
     false,
     S(p.usbCardStatus = 5; p.sectorsPerMB = 0),
     R(ShowSource()),
     {{"old1", C::Green}, {"old2", C::Green}}},
    {"ready without amounts does nothing", 1, 3, 1, false,
     S(p.usbCardStatus = 80; p.sectorsPerMB = 0), R(RenderTargets()), marked()},
    {"pass without amounts",
     1,
     6,
     1,
     false,
     S(p.sectorsPerMB = 0),
     R(ShowPass(true)),
     {{"old1", C::Green}, {"PASS !", C::Green}}},
    // Layout kind 2 puts more blanks into some lines.
    {"kind 2: ready",
     1,
     3,
     1,
     true,
     S(p.usbCardStatus = 80),
     R(RenderTargets()),
     {{" ", C::Window}, {"Ready    1000M", C::Window}}},
    {"kind 2: size not enough",
     1,
     3,
     1,
     true,
     S(p.usbCardStatus = 81),
     R(RenderTargets()),
     {{"         1000M", C::Red}, {"Size NotEnough", C::Red}}},
    {"kind 2: progress",
     1,
     4,
     1,
     true,
     S(p.usbCardStatus = 3),
     R(RenderWorking()),
     {{"         1000M", C::SkyBlue}, {"Write     250M", C::SkyBlue}}},
    {"kind 2: erase",
     11,
     4,
     1,
     true,
     S(p.usbCardStatus = 14),
     R(RenderErase()),
     {{"Erase    1000M", C::SkyBlue}, {"[A5]      400M", C::SkyBlue}}},
    {"kind 2: source",
     1,
     3,
     0,
     true,
     S(p.usbCardStatus = 5),
     R(ShowSource()),
     {{"Source    300M", C::Green}, {" ", C::Green}}},
    {"kind 2: burn-in loop",
     22,
     4,
     1,
     true,
     S(p.life = 2),
     R(RenderBurnIn()),
     {{"L5       1000M", C::SkyBlue}, {"Write     400M", C::SkyBlue}}},
};

#undef R
#undef S

} // namespace

TEST(PortDisplay, RenderersWriteTextsAndColours) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        PortRecord port = basePort();
        c.setup(port);
        PortLines lines = marked();
        RenderContext ctx;
        ctx.function = c.function;
        ctx.phase = c.phase;
        ctx.kind2 = c.kind2;
        PortRenderer r(port, lines, c.index, ctx);
        c.render(r);
        EXPECT_EQ(lines.line1.text, c.expected.line1.text);
        EXPECT_EQ(lines.line1.colour, c.expected.line1.colour);
        EXPECT_EQ(lines.line2.text, c.expected.line2.text);
        EXPECT_EQ(lines.line2.colour, c.expected.line2.colour);
    }
}

TEST(PortDisplay, EmptyPortOnAProbeMachine) {
    PortRecord port = basePort();
    port.usbCardStatus = 79;
    PortLines lines = marked();
    RenderContext ctx;
    ctx.function = 1;
    ctx.phase = 6;
    ctx.probeMachine = true;
    PortRenderer(port, lines, 3, ctx).RenderOutcome();
    EXPECT_EQ(lines.line2.text, "Empty !");
    EXPECT_EQ(lines.line2.colour, LineColour::Yellow);
}

TEST(PortDisplay, ReadyLineOfAnEightGigabyteStick) {
    // 15257600 sectors at 2048 per MiB is 7450 MiB.
    for (bool kind2 : {false, true}) {
        PortRecord port{};
        port.capacity = 15257600;
        port.sectorsPerMB = 2048;
        port.usbCardStatus = 80;
        PortLines lines;
        RenderContext ctx;
        ctx.function = 1;
        ctx.phase = 3;
        ctx.kind2 = kind2;
        PortRenderer(port, lines, 5, ctx).RenderCopy();
        EXPECT_EQ(lines.line2.text, kind2 ? "Ready    7450M" : "Ready  7450M");
    }
}

TEST(PortDisplay, SpeedTextKeepsFourCharacters) {
    struct {
        uint32_t a, spm;
        const char* text;
    } cases[] = {
        {0, 2048, "0.00"},  {99999, 10000, "10.0"}, {12345, 1000, "12.3"},
        {1234, 10, "123."}, {3, 2, "1.50"},         {2048 * 25, 2048, "25.0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SpeedText(c.a, c.spm), c.text) << c.a << "/" << c.spm;
}

TEST(PortDisplay, FunctionNamesAndWriteProtectVariants) {
    struct {
        uint8_t function, flags;
        const char* text;
    } cases[] = {
        {0, 0, "STANDBY"},
        {1, 0, "COPY"},
        {1, 0x01, "COPY(WP)"},
        {1, 0x05, "COPY(P. WP)"},
        {1, 0x02, "COPY"},
        {5, 0x02, "COPY+COMPARE(WP)"},
        {5, 0x06, "COPY+COMPARE(P. WP)"},
        {85, 0, "COPY+COMP+WRITE PROTECT"},
        {29, 0, "STANDBY"},
        {30, 0, "30"},
        {200, 0, "200"},
    };
    for (const auto& c : cases) {
        uint8_t status[28] = {};
        status[2] = c.function;
        status[6] = c.flags;
        EXPECT_EQ(functionText(status), c.text) << int(c.function) << "/" << int(c.flags);
    }
}

TEST(PortDisplay, FixedColourValues) {
    EXPECT_EQ(lineColourValue(LineColour::Green), 0x008000u);
    EXPECT_EQ(lineColourValue(LineColour::Red), 0x0000FFu);
    EXPECT_EQ(lineColourValue(LineColour::Yellow), 0x00FFFFu);
    EXPECT_EQ(lineColourValue(LineColour::SkyBlue), 0xF0CAA6u);
}
