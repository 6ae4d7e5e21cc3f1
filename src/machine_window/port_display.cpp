// How each port's two status lines are drawn from its record: the function
// names, speed and amount texts, and one renderer per display operation.
#include "machine_window/port_display.h"

#include <cstdio>

#include "common/text.h"

namespace dupmon {

namespace {

bool oneOf(int v, std::initializer_list<int> set) {
    for (int x : set)
        if (v == x)
            return true;
    return false;
}

bool workingPhase(int p) {
    return oneOf(p, {4, 13, 14});
}

// "%05.3f" below 10, else "%05.2f", cut to four characters.
std::string cutSpeed(float v) {
    char text[64];
    std::snprintf(text, sizeof text, v < 10.0f ? "%05.3f" : "%05.2f", double(v));
    return std::string(text).substr(0, 4);
}

} // namespace

uint32_t lineColourValue(LineColour c) {
    switch (c) {
    case LineColour::Green:
        return 0x008000;
    case LineColour::Red:
        return 0x0000FF;
    case LineColour::Yellow:
        return 0x00FFFF;
    case LineColour::SkyBlue:
        return 0xF0CAA6;
    default:
        return 0;
    }
}

std::string functionName(int code) {
    switch (code) {
    case 0:
        return "STANDBY";
    case 1:
        return "COPY";
    case 2:
        return "TEST_COPY";
    case 3:
        return "VERIFY";
    case 4:
        return "COMPARE";
    case 5:
        return "COPY+COMPARE";
    case 6:
        return "ASYNC COPY";
    case 7:
        return "ASYNC_TEST_COPY";
    case 8:
        return "ASYNC_VERIFY";
    case 9:
        return "ASYNC COMPARE";
    case 10:
        return "ASYNC COPY+COMPARE";
    case 11:
        return "QUICK ERASE";
    case 12:
        return "FULL ERASE";
    case 13:
        return "DoD ERASE";
    case 14:
        return "H3 TEST";
    case 15:
        return "H5 TEST";
    case 16:
        return "CAPACITY_CHECK";
    case 17:
        return "A2 FAKE PICKER";
    case 20:
        return "MEASURE SPEED";
    case 21:
        return "SHOW_DEVICE_INFO";
    case 22:
        return "BURN-IN";
    case 23:
        return "BURN-IN(COPY+COMPARE)";
    case 24:
        return "FORMAT(AUTO)";
    case 25:
        return "FORMAT(FAT16)";
    case 26:
        return "FORMAT(FAT32)";
    case 27:
        return "VERIFY_AND_FORMAT";
    case 28:
        return "CHECK_VIRUS";
    case 29:
        return "STANDBY";
    case 32:
        return "H6 TEST";
    case 33:
        return "GET_ALL_DEVICE_INFO";
    case 40:
        return "RELEASE WRITE PROTECT";
    case 54:
        return "COPY USB-CDROM";
    case 55:
        return "COPY USBCD+FORMAT USB";
    case 58:
        return "FORMAT(exFAT)";
    case 71:
        return "COPY(T)";
    case 72:
        return "COMPARE(T)";
    case 73:
        return "COPY+COMPARE(T)";
    case 74:
        return "H2 TEST";
    case 75:
        return "H2 WRITE";
    case 80:
        return "SET WRITE PROTECT";
    case 81:
        return "RELEASE WRITE PROTECT";
    case 82:
        return "SHOW WRITE PROTECT INFO";
    case 83:
        return "SHOW DEVICE";
    case 84:
        return "COPY+WRITE PROTECT";
    case 85:
        return "COPY+COMP+WRITE PROTECT";
    case 86:
        return "H2 COMPARE";
    default:
        return format("%d", code);
    }
}

std::string functionText(const uint8_t status[28]) {
    const int f = status[2];
    const uint8_t wp = status[6];
    const bool permanent = wp & 0x04;
    if (f == 1 && (wp & 0x01))
        return permanent ? "COPY(P. WP)" : "COPY(WP)";
    if (f == 5 && (wp & 0x02))
        return permanent ? "COPY+COMPARE(P. WP)" : "COPY+COMPARE(WP)";
    return functionName(f);
}

std::string SpeedText(uint32_t a, uint32_t spm) {
    return cutSpeed(static_cast<float>(a) / static_cast<float>(spm));
}

// --- helpers --------------------------------------------------------------

int PortRenderer::mb(uint64_t sectors) const {
    // Whole MiB, printed as a signed 32-bit number.
    return static_cast<int32_t>(static_cast<uint32_t>(sectors / r_.sectorsPerMB));
}

std::string PortRenderer::amountText(const char* kind2Form, const char* otherForm,
                                     uint64_t sectors) const {
    return format(ctx_.kind2 ? kind2Form : otherForm, mb(sectors));
}

void PortRenderer::showAmount() {
    if (r_.sectorsPerMB == 0)
        return;
    if (ctx_.function == 22) {
        const int loop = static_cast<int32_t>(r_.loop + 1);
        out_.line1.text = format(ctx_.kind2 ? "L%-4d  %6dM" : "L%-4d%6dM", loop, mb(r_.capacity));
        return;
    }
    // The master port shows the amount of source data it holds.
    const bool master = index_ == 0 && oneOf(ctx_.function, {1, 4, 5, 6, 9, 10, 84, 85});
    out_.line1.text = amountText("       %6dM", "     %6dM", master ? r_.dataSectors : r_.capacity);
}

void PortRenderer::set(LineColour c1, const std::string& t1, LineColour c2, const std::string& t2) {
    out_.line1 = {t1, c1};
    out_.line2 = {t2, c2};
}

// Speed and capacity shortfalls are warnings, shown yellow rather than red.
bool PortRenderer::warningChip() const {
    return oneOf(r_.chipStatus, {0x40, 0x41, 0x26, 0x27});
}

// --- display operations ---------------------------------------------------

void PortRenderer::ShowReady() {
    if (r_.sectorsPerMB == 0)
        return;
    set(LineColour::Window, " ", LineColour::Window,
        amountText("Ready  %6dM", "Ready%6dM", r_.capacity));
}

void PortRenderer::ShowPowerOff() {
    set(LineColour::SkyBlue, " ", LineColour::SkyBlue, "Power OFF");
}

void PortRenderer::ShowPurge() {
    set(LineColour::SkyBlue, " ", LineColour::SkyBlue, "Purge...");
}

void PortRenderer::ShowProgress() {
    if (r_.sectorsPerMB == 0)
        return;
    out_.line1.colour = LineColour::SkyBlue;
    showAmount();
    const char* what = r_.isRead == 0 ? "Write" : (r_.isCompare ? "Comp" : "Read");
    out_.line2 = {format(ctx_.kind2 ? "%-5s  %6dM" : "%-5s%6dM", what, mb(r_.completeSector)),
                  LineColour::SkyBlue};
}

void PortRenderer::ShowErase() {
    if (r_.sectorsPerMB == 0)
        return;
    set(LineColour::SkyBlue,
        format(ctx_.kind2 ? "%-5s  %6dM" : "%-5s%6dM", "Erase", mb(r_.capacity)),
        LineColour::SkyBlue,
        format(ctx_.kind2 ? "[%02X]   %6dM" : "[%02X] %6dM", r_.erasePattern, mb(r_.addr)));
}

void PortRenderer::ShowReadSpeed() {
    if (r_.sectorsPerMB == 0)
        return;
    out_.line2 = {format(ctx_.kind2 ? "R%s  %6dM" : "R%s%6dM",
                         SpeedText(r_.speed, r_.sectorsPerMB).c_str(), mb(r_.completeSector)),
                  LineColour::SkyBlue};
}

void PortRenderer::ShowWriteSpeed() {
    if (r_.sectorsPerMB == 0)
        return;
    out_.line1 = {format(ctx_.kind2 ? "W%s  %6dM" : "W%s%6dM",
                         SpeedText(r_.speed, r_.sectorsPerMB).c_str(), mb(r_.completeSector)),
                  LineColour::SkyBlue};
}

void PortRenderer::ShowTestFail() {
    const uint32_t spm = r_.sectorsPerMB;
    // Without sectors per MiB there is no amount to show: the plain "Bad !" form.
    const int chip = spm == 0 ? -1 : r_.chipStatus;
    std::string t1, t2;
    switch (chip) {
    case 0x40:
        t1 = "Low R.Speed";
        t2 = format("R%s MB/S", SpeedText(r_.rSpeed, spm).c_str());
        break;
    case 0x41:
        t1 = "Low W.Speed";
        t2 = format("W%s MB/S", SpeedText(r_.wSpeed, spm).c_str());
        break;
    case 0x26:
    case 0x27: {
        t1 = chip == 0x26 ? "Over Capacity" : "Low Capacity";
        // Four characters fit capacities below 10000 MiB; larger ones show whole MiB.
        const float v = static_cast<float>(r_.capacity) / static_cast<float>(spm);
        t2 = format("%s MB",
                    v < 10000.0f ? cutSpeed(v).c_str() : format("%d", mb(r_.capacity)).c_str());
        break;
    }
    default:
        t1 = "Bad !";
        t2 = format("LBA=%llXh", static_cast<unsigned long long>(r_.addr));
        break;
    }
    set(LineColour::Red, t1, LineColour::Red, t2);
}

void PortRenderer::ShowTestPassWR() {
    out_.line1.colour = LineColour::Green;
    out_.line2.colour = LineColour::Green;
    if (r_.sectorsPerMB == 0)
        return;
    out_.line1.text = format("W%s MB/S", SpeedText(r_.wSpeed, r_.sectorsPerMB).c_str());
    out_.line2.text = format("R%s MB/S", SpeedText(r_.rSpeed, r_.sectorsPerMB).c_str());
}

void PortRenderer::ShowTestPassR() {
    out_.line2.colour = LineColour::Green;
    if (r_.sectorsPerMB == 0)
        return;
    out_.line2.text = format("R%s MB/S", SpeedText(r_.rSpeed, r_.sectorsPerMB).c_str());
}

void PortRenderer::ShowPass(bool amount) {
    out_.line1.colour = LineColour::Green;
    out_.line2.colour = LineColour::Green;
    showAmount();
    out_.line2.text = r_.sectorsPerMB != 0 && amount
                          ? amountText("PASS   %6dM", "PASS %6dM", r_.completeSector)
                          : "PASS !";
}

void PortRenderer::ShowFail(bool amount) {
    const LineColour c = warningChip() ? LineColour::Yellow : LineColour::Red;
    out_.line1.colour = c;
    out_.line2.colour = c;
    showAmount();
    if (r_.sectorsPerMB == 0 || !amount) {
        out_.line2.text = "FAIL !";
        return;
    }
    if (oneOf(ctx_.function, {1, 4, 5, 84, 85})) {
        out_.line2.text = workingPhase(ctx_.phase)
                              ? amountText("FAIL   %6dM", "FAIL %6dM", r_.completeSector)
                              : format("FAIL(%llXh)", static_cast<unsigned long long>(r_.failAddr));
    } else {
        out_.line2.text = amountText("FAIL   %6dM", "FAIL %6dM", r_.addr);
    }
}

void PortRenderer::ShowErasePass() {
    set(LineColour::Green, " ", LineColour::Green,
        r_.sectorsPerMB != 0 ? amountText("PASS   %6dM", "PASS %6dM", r_.capacity) : "PASS !");
}

void PortRenderer::ShowEraseFail() {
    out_.line1.colour = LineColour::Red;
    showAmount();
    out_.line2 = {r_.sectorsPerMB != 0 ? amountText("FAIL   %6dM", "FAIL %6dM", r_.addr) : "FAIL !",
                  LineColour::Red};
}

void PortRenderer::ShowProtectPass() {
    set(LineColour::Green, "PASS", LineColour::Yellow, "WriteProtect");
}

void PortRenderer::ShowReleasePass() {
    set(LineColour::Green, "PASS", LineColour::Green, "Writable");
}

void PortRenderer::ShowProtected() {
    set(LineColour::Green, " ", LineColour::Yellow, "WriteProtect");
}

void PortRenderer::ShowWritable() {
    set(LineColour::Green, " ", LineColour::Green, "Writable");
}

void PortRenderer::ShowBlank() {
    set(LineColour::WindowFrame, " ", LineColour::WindowFrame, " ");
}

void PortRenderer::ShowSizeNotEnough() {
    if (r_.sectorsPerMB == 0)
        return;
    out_.line1.colour = LineColour::Red;
    showAmount();
    out_.line2 = {ctx_.kind2 ? "Size NotEnough" : "SizeNotEnough", LineColour::Red};
}

void PortRenderer::ShowBad() {
    const LineColour c = warningChip() ? LineColour::Yellow : LineColour::Red;
    set(c, " ", c, format("BAD(%d)", r_.usbCardStatus));
}

void PortRenderer::ShowEmpty() {
    set(LineColour::Yellow, " ", LineColour::Yellow, "Empty !");
}

void PortRenderer::ShowTesting() {
    out_.line1.colour = LineColour::SkyBlue;
    showAmount();
    out_.line2 = {"Testing...", LineColour::SkyBlue};
}

void PortRenderer::ShowFormatting() {
    out_.line1.colour = LineColour::SkyBlue;
    showAmount();
    out_.line2 = {"Formating...", LineColour::SkyBlue};
}

void PortRenderer::ShowCheckPass() {
    out_.line1.colour = LineColour::Green;
    showAmount();
    out_.line2 = {r_.sectorsPerMB != 0 ? amountText("PASS   %6dM", "PASS %6dM", r_.capacity)
                                       : "PASS",
                  LineColour::Green};
}

void PortRenderer::ShowCheckFail() {
    out_.line1.colour = LineColour::Red;
    showAmount();
    out_.line2 = {r_.sectorsPerMB != 0 ? amountText("FAIL   %6dM", "FAIL %6dM", r_.realCapacity)
                                       : "FAIL !",
                  LineColour::Red};
}

void PortRenderer::ShowSource() {
    out_.line1.colour = LineColour::Green;
    out_.line2.colour = LineColour::Green;
    const int s = r_.usbCardStatus;
    if (s == 80 || s == 5) {
        if (r_.sectorsPerMB == 0)
            return;
        out_.line1.text = amountText("Source %6dM", "Source%5dM", r_.dataSectors);
        out_.line2.text.assign(1, ' ');
    } else {
        out_.line1.text.assign(1, ' ');
        out_.line2.text = "Reading...";
    }
}

// --- renderers --------------------------------------------------------------

void PortRenderer::RenderTargets() {
    if (index_ == 0)
        return;
    switch (r_.usbCardStatus) {
    case 80:
        ShowReady();
        break;
    case 81:
        ShowSizeNotEnough();
        break;
    default:
        out_.line1.text.assign(1, ' ');
        out_.line2.text.assign(1, ' ');
        break;
    }
}

void PortRenderer::RenderWorking() {
    const int s = r_.usbCardStatus;
    if (ctx_.phase == 7) {
        if (s == 85 || s == 5)
            ShowPowerOff();
        return;
    }
    if (oneOf(s, {2, 3, 4})) {
        ShowProgress();
    } else if (s == 5) {
        // Still comparing in a copy+compare: the copy part is done, not the job.
        if (ctx_.phase == 13 && (ctx_.function == 5 || ctx_.function == 85))
            ShowProgress();
        else
            ShowPass(true);
    } else if (s == 6) {
        ShowFail(true);
    }
}

void PortRenderer::RenderOutcome() {
    const int s = r_.usbCardStatus;
    if (s == 0 || s == 5)
        ShowPass(true);
    else if (s == 6)
        ShowFail(true);
    else if (s == 1 || s == 79) {
        if (ctx_.probeMachine)
            ShowEmpty();
    } else if (s == 81)
        ShowSizeNotEnough();
    else
        ShowBad();
}

void PortRenderer::masterRule() {
    const int s = r_.usbCardStatus;
    if (s == 80 || s == 5)
        ShowReady();
    else if ((s >= 37 && s <= 44) || s == 79)
        ShowBlank();
    else if (oneOf(s, {1, 2, 3, 4}))
        return;
    else if (s == 81)
        ShowSizeNotEnough();
    else
        ShowBad();
}

void PortRenderer::outcomeRule() {
    const int s = r_.usbCardStatus;
    if ((ctx_.function == 22 || ctx_.function == 23) && r_.chipStatus == 7)
        ShowBad();
    else if (s == 0 || s == 5)
        ShowPass(true);
    else if (s == 1)
        ShowBlank();
    else if (s == 81)
        ShowSizeNotEnough();
    else if (s == 6)
        ShowFail(true);
    else if (s == 37 || s == 79)
        return;
    else
        ShowBad();
}

void PortRenderer::RenderCopy() {
    const int s = r_.usbCardStatus;
    switch (ctx_.phase) {
    case 1:
    case 2:
        if (index_ == 0)
            masterRule();
        break;
    case 3:
        masterRule();
        break;
    case 10:
    case 11:
        ShowBlank();
        break;
    case 6:
        outcomeRule();
        break;
    case 7:
        if (s == 85 || s == 5)
            ShowPowerOff();
        break;
    case 8:
        if (r_.inWorking)
            ShowPurge();
        break;
    case 4:
    case 13:
    case 14:
        if (oneOf(s, {2, 3, 4}))
            ShowProgress();
        else if (s >= 82 && s <= 87)
            break;
        else
            outcomeRule();
        break;
    default:
        break; // 5 and others: nothing
    }
}

void PortRenderer::RenderAsyncCopy() {
    const int p = ctx_.phase;
    if (p == 1 || p == 2) {
        if (index_ == 0)
            ShowProgress();
        return;
    }
    if (!workingPhase(p))
        return;
    const int s = r_.usbCardStatus;
    if (s == 50 || s == 38)
        ShowBlank();
    else if (s == 77)
        ShowPass(true);
    else if (s == 9 || s == 12)
        ShowProgress();
    else if (oneOf(s, {52, 127, 128})) {
        if (r_.result)
            ShowPass(true);
        else if (r_.chipStatus == 17)
            ShowSizeNotEnough();
        else
            ShowFail(true);
    }
}

void PortRenderer::RenderErase() {
    if (!workingPhase(ctx_.phase))
        return;
    const int s = r_.usbCardStatus;
    if (oneOf(s, {13, 14, 15}))
        ShowErase();
    else if (s == 50 || s == 38)
        ShowBlank();
    else if (oneOf(s, {52, 127, 128})) {
        if (r_.result)
            ShowErasePass();
        else
            ShowEraseFail();
    }
}

void PortRenderer::RenderTest() {
    if (!workingPhase(ctx_.phase))
        return;
    const int s = r_.usbCardStatus;
    if (oneOf(s, {16, 17, 135, 136, 94})) {
        if (r_.isRead)
            ShowReadSpeed();
        else
            ShowWriteSpeed();
    } else if (s == 50 || s == 38) {
        ShowBlank();
    } else if (oneOf(s, {52, 127, 128})) {
        // These tests measure both directions; the others read only.
        const bool both = oneOf(ctx_.function, {15, 74, 75, 86, 32});
        if (!r_.result)
            ShowTestFail();
        else if (both)
            ShowTestPassWR();
        else
            ShowTestPassR();
    }
}

void PortRenderer::RenderCheck() {
    if (!workingPhase(ctx_.phase))
        return;
    const int s = r_.usbCardStatus;
    if (s == 50 || s == 38)
        ShowBlank();
    else if (s == 19 || s == 89)
        ShowTesting();
    else if (oneOf(s, {52, 127, 128})) {
        if (r_.result)
            ShowCheckPass();
        else
            ShowCheckFail();
    }
}

void PortRenderer::RenderFormat() {
    if (!workingPhase(ctx_.phase))
        return;
    const int s = r_.usbCardStatus;
    if (s == 50 || s == 38)
        ShowBlank();
    else if (s == 20)
        ShowFormatting();
    else if (oneOf(s, {52, 127, 128, 34, 35})) {
        if (r_.result)
            ShowPass(false);
        else
            ShowFail(false);
    }
}

void PortRenderer::RenderBurnIn() {
    if (!workingPhase(ctx_.phase))
        return;
    switch (r_.life) {
    case 2:
    case 3:
    case 4:
        r_.completeSector = r_.addr;
        ShowProgress();
        break;
    case 1:
        ShowErase();
        break;
    case 6:
        ShowReady();
        break;
    case 5:
        ShowPowerOff();
        break;
    case 7:
        if (r_.chipStatus == 0)
            ShowPass(false);
        else
            ShowFail(false);
        break;
    default:
        break;
    }
}

// variant 0: set, 1: release, 2: show.
void PortRenderer::renderProtect(int testingStatus, int variant) {
    const int s = r_.usbCardStatus;
    if (s == 50 || s == 38) {
        ShowBlank();
    } else if (s == testingStatus) {
        ShowTesting();
    } else if (oneOf(s, {52, 127, 128, 34, 35, 137})) {
        if (r_.cardExist == 0) {
            ShowBlank();
        } else if (!r_.result) {
            ShowFail(false);
        } else if (variant == 0) {
            ShowProtectPass();
        } else if (variant == 1) {
            ShowReleasePass();
        } else {
            ShowPass(false);
            if (r_.protectBits & 0x80)
                ShowProtected();
            else
                ShowWritable();
        }
    }
}

void PortRenderer::RenderSetProtect() {
    renderProtect(138, 0);
}
void PortRenderer::RenderReleaseProtect() {
    renderProtect(139, 1);
}
void PortRenderer::RenderShowProtect() {
    renderProtect(140, 2);
}

bool PortRenderer::renderByFunction() {
    const int f = ctx_.function;
    if (oneOf(f, {1, 4, 5, 23, 84, 85}))
        RenderCopy();
    else if (oneOf(f, {6, 9, 10}))
        RenderAsyncCopy();
    else if (oneOf(f, {11, 12, 13}))
        RenderErase();
    else if (oneOf(f, {14, 15, 32, 74, 75, 86}))
        RenderTest();
    else if (oneOf(f, {16, 17}))
        RenderCheck();
    else if (oneOf(f, {24, 25, 26}))
        RenderFormat();
    else if (f == 22)
        RenderBurnIn();
    else if (f == 80)
        RenderSetProtect();
    else if (f == 81)
        RenderReleaseProtect();
    else if (f == 82)
        RenderShowProtect();
    else
        return false;
    return true;
}

} // namespace dupmon
