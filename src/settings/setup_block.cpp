// The setup parameter block's field table and item lists, reading and writing
// each field as its control shows it, which groups are enabled, and the range
// checks on typed values.
#include "settings/setup_block.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"

namespace dupmon {

namespace {

const char* const kTwoBeep[] = {"ON", "OFF"};
const char* const kCopyArea[] = {"System and Files", "Whole Media"};
const char* const kCheckBeforeCopy[] = {"Do NOT Check", "Do Check"};
const char* const kTolerance[] = {"No Limit", "100% Same", "Allow Tolerance (+   %,-   %)"};
const char* const kPatternMode[] = {"Auto Pattern", "User Defined"};
const char* const kBurnInMode[] = {"Burn Loop", "Burn Time"};
const char* const kAsynchronous[] = {"Enable", "Disable"};

const char* const kStartupMenu[] = {"1.Copy",           "2.Compare",     "3.Copy+Compare",
                                    "4.Capacity Check", "5.Information", "6.Utility",
                                    "7.Setup",          "8.Burn-In",     "9.Log Manager"};
const char* const kWorkingMode[] = {"Normal Mode", "Slower Mode", "Slowest Mode", "Faster Mode",
                                    "Fastest Mode"};
const uint8_t kWorkingModeValue[] = {0, 2, 1, 3, 4};

// Texts of the table combo boxes, built once.
struct ComboTexts {
    std::array<std::string, kBurnTimeEntries> burnTime;
    std::array<const char*, kBurnTimeEntries> burnTimeItems;
    std::array<const char*, kErrorLimitEntries> errorLimitItems;
    std::array<BurnTimeEntry, kBurnTimeEntries> burnTimeTable;
    std::array<ErrorLimitEntry, kErrorLimitEntries> errorLimitTable;
    std::array<std::string, kErrorLimitEntries> errorLimit;
    std::array<uint32_t, kBurnTimeEntries> burnTimeValues;
    std::array<uint32_t, kErrorLimitEntries> errorLimitValues;

    ComboTexts() {
        // "30 min", " 1 hour ", " 2 hours" .. "23 hours", " 1 day", " 2 days" .. "30 days".
        size_t k = 0;
        auto addBurn = [&](std::string text, uint16_t minutes) {
            burnTime[k] = std::move(text);
            burnTimeValues[k] = minutes;
            ++k;
        };
        addBurn("30 min", 30);
        addBurn(" 1 hour ", 60);
        for (int h = 2; h <= 23; ++h)
            addBurn(format("%2d hours", h), uint16_t(h * 60));
        addBurn(" 1 day", 1440);
        for (int d = 2; d <= 30; ++d)
            addBurn(format("%2d days", d), uint16_t(d * 1440));

        // "0", "0.01%" .. "0.09%", "0.1%" .. "0.9%", "1.0%" .. "3.0%", then the larger steps.
        k = 0;
        auto addLimit = [&](std::string text, uint32_t value) {
            errorLimit[k] = std::move(text);
            errorLimitValues[k] = value;
            ++k;
        };
        addLimit("0", 0);
        for (int i = 1; i <= 9; ++i)
            addLimit(format("0.0%d%%", i), uint32_t(i));
        for (int i = 1; i <= 9; ++i)
            addLimit(format("0.%d%%", i), uint32_t(i * 10));
        for (int i = 10; i <= 30; ++i)
            addLimit(format("%d.%d%%", i / 10, i % 10), uint32_t(i * 10));
        for (uint32_t v : {350u, 400u, 450u, 500u, 600u, 700u, 800u, 900u})
            addLimit(format("%u.%u%%", v / 100, v / 10 % 10), v);
        for (uint32_t v : {1000u, 1500u, 2000u, 3000u, 4000u, 5000u})
            addLimit(format("%u%%", v / 100), v);

        for (size_t i = 0; i < kBurnTimeEntries; ++i) {
            burnTimeItems[i] = burnTime[i].c_str();
            burnTimeTable[i] = {burnTimeItems[i], uint16_t(burnTimeValues[i])};
        }
        for (size_t i = 0; i < kErrorLimitEntries; ++i) {
            errorLimitItems[i] = errorLimit[i].c_str();
            errorLimitTable[i] = {errorLimitItems[i], errorLimitValues[i]};
        }
    }
};

const ComboTexts& combos() {
    static const ComboTexts t;
    return t;
}

using K = SetupControlKind;
using E = SetupEncoding;
using W = SetupWrittenWhen;

std::array<SetupField, kSetupFieldCount> makeFields() {
    const ComboTexts& c = combos();
    const std::span<const char* const> none;
    return {{
        {"MaskEdit_H3_range", "Media Check Test Range:", "%", 65, 1, K::MaskEdit, E::Number, 3,
         W::Always, none},
        {"RadioGroup1", "Button Beep:", "", 102, 1, K::RadioGroup, E::TwoChoice, 0, W::Always,
         kTwoBeep},
        {"RadioGroup2", "Copy Area:", "", 104, 1, K::RadioGroup, E::TwoChoice, 0, W::Always,
         kCopyArea},
        {"ComboBox_startupMenu", "Start-up Menu:", "", 105, 1, K::ComboBox, E::Choice, 0, W::Always,
         kStartupMenu},
        {"MaskEdit_BurnRange", "Burn-In Test Range:", "%", 133, 1, K::MaskEdit, E::Number, 3,
         W::Always, none},
        {"RadioGroup5", "Check Before Copy:", "", 146, 1, K::RadioGroup, E::TwoChoice, 0, W::Always,
         kCheckBeforeCopy},
        {"RadioGroup3", "Target Tolerance:", "", 149, 1, K::RadioGroup, E::Choice, 0, W::Always,
         kTolerance},
        {"MaskEdit_Plus", "Tolerance +", "%", 150, 1, K::MaskEdit, E::Number, 2,
         W::ToleranceAllowed, none},
        {"MaskEdit_Minus", "Tolerance -", "%", 151, 1, K::MaskEdit, E::Number, 2,
         W::ToleranceAllowed, none},
        {"RadioGroup_dataPattern", "Data Pattern:", "", 153, 1, K::RadioGroup, E::TwoChoice, 0,
         W::Always, kPatternMode},
        {"MaskEdit_dataPattern", "Pattern Byte (hex):", "", 154, 1, K::MaskEdit, E::Hex, 2,
         W::UserPattern, none},
        {"MaskEdit_poweroff_burnin", "Burn-In Power Off:", "Seconds", 155, 1, K::MaskEdit,
         E::Number, 2, W::Always, none},
        {"MaskEdit_CompareCount", "Compare Count per Loop:", "", 156, 2, K::MaskEdit, E::Number, 5,
         W::Always, none},
        {"MaskEdit_read", "Minimum Read Speed:", "MB/s", 158, 2, K::MaskEdit, E::Speed, 4,
         W::Always, none},
        {"MaskEdit_write", "Minimum Write Speed:", "MB/s", 160, 2, K::MaskEdit, E::Speed, 4,
         W::Always, none},
        {"RadioGroup_burnin", "Burn-In Mode:", "", 162, 1, K::RadioGroup, E::TwoChoice, 0,
         W::Always, kBurnInMode},
        {"ComboBox_errorLimit", "Media Check Error Limit:", "", 196, 4, K::ComboBox, E::ErrorLimit,
         0, W::Always, c.errorLimitItems},
        {"RadioGroup4", "Asynchronous:", "", 209, 1, K::RadioGroup, E::TwoChoice, 0, W::Always,
         kAsynchronous},
        {"ComboBox_workingMode", "Working Mode:", "", 220, 1, K::ComboBox, E::WorkingMode, 0,
         W::Always, kWorkingMode},
        {"MaskEdit_badLimit", "Burn-In Bad Limit:", "", 222, 2, K::MaskEdit, E::Number, 5,
         W::Always, none},
        {"MaskEdit_powerOff", "Copy-Compare Power Off:", "(0 to 15)     Seconds", 226, 1,
         K::MaskEdit, E::Number, 2, W::Always, none},
        {"ComboBox_burnTime", "Burn Time:", "", 228, 2, K::ComboBox, E::BurnTime, 0,
         W::BurnTimeMode, c.burnTimeItems},
        {"MaskEdit_burnLoop", "Burn Loop:", "", 236, 4, K::MaskEdit, E::Number, 5, W::BurnLoopMode,
         none},
    }};
}

uint32_t readField(const uint8_t* block, const SetupField& f) {
    const uint8_t* p = block + f.offset;
    switch (f.size) {
    case 1:
        return p[0];
    case 2:
        return readBE16(p);
    default:
        return readBE32(p);
    }
}

void writeField(uint8_t* block, const SetupField& f, uint32_t v) {
    uint8_t* p = block + f.offset;
    switch (f.size) {
    case 1:
        p[0] = uint8_t(v);
        break; // one-byte numbers are stored modulo 256
    case 2:
        writeBE16(p, uint16_t(v));
        break;
    default:
        writeBE32(p, v);
        break;
    }
}

bool writtenNow(const SetupField& f, const SetupControls& c) {
    switch (f.when) {
    case W::Always:
        return true;
    case W::ToleranceAllowed:
        return c[SETUP_TOLERANCE].index == 2;
    case W::UserPattern:
        return c[SETUP_PATTERN_MODE].index == 1;
    case W::BurnTimeMode:
        return c[SETUP_BURNIN_MODE].index == 1;
    case W::BurnLoopMode:
        return c[SETUP_BURNIN_MODE].index == 0;
    }
    return false;
}

bool isBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

int hexDigit(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    return -1;
}

} // namespace

const std::array<SetupField, kSetupFieldCount>& setupFields() {
    static const std::array<SetupField, kSetupFieldCount> fields = makeFields();
    return fields;
}

const std::array<BurnTimeEntry, kBurnTimeEntries>& burnTimeTable() {
    return combos().burnTimeTable;
}

const std::array<ErrorLimitEntry, kErrorLimitEntries>& errorLimitTable() {
    return combos().errorLimitTable;
}

std::span<const char* const> startupMenuItems() {
    return kStartupMenu;
}
std::span<const char* const> workingModeItems() {
    return kWorkingMode;
}
std::span<const uint8_t> workingModeValues() {
    return kWorkingModeValue;
}

int tableIndexFor(std::span<const uint32_t> values, uint32_t value) {
    if (values.empty())
        return -1;
    if (value < values[0])
        return 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] == value)
            return int(i);
        if (i + 1 < values.size() && value < values[i + 1])
            return int(i);
    }
    return -1;
}

int burnTimeIndexFor(uint32_t minutes) {
    return tableIndexFor(combos().burnTimeValues, minutes);
}

int errorLimitIndexFor(uint32_t value) {
    return tableIndexFor(combos().errorLimitValues, value);
}

uint32_t setupNumberValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint32_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10 + uint32_t(text[i] - '0');
    return negative ? 0u - v : v;
}

uint32_t setupSpeedValue(const std::string& text) {
    const uint32_t whole = setupNumberValue(text);
    uint32_t tenths = 0;
    const size_t point = text.find('.');
    if (point != std::string::npos && point + 1 < text.size() && text[point + 1] >= '0' &&
        text[point + 1] <= '9')
        tenths = uint32_t(text[point + 1] - '0');
    return whole * 10 + tenths;
}

uint8_t setupHexValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    unsigned v = 0;
    for (int n = 0; n < 2 && i < text.size() && hexDigit(text[i]) >= 0; ++n, ++i)
        v = v * 16 + unsigned(hexDigit(text[i]));
    return uint8_t(v);
}

void loadSetupControls(const uint8_t* block, SetupControls& controls) {
    const auto& fields = setupFields();
    for (size_t k = 0; k < fields.size(); ++k) {
        const SetupField& f = fields[k];
        SetupControlValue& c = controls[k];
        const uint32_t v = readField(block, f);
        switch (f.encoding) {
        case E::Number:
            c.text = format("%u", v);
            break;
        case E::Speed:
            c.text = format("%02.1f", v * 0.1);
            break;
        case E::Hex:
            c.text = format("%02X", v);
            break;
        case E::TwoChoice:
            c.index = v == 0 ? 0 : 1;
            break;
        case E::Choice:
            c.index = v < f.items.size() ? int(v) : -1;
            break;
        case E::WorkingMode: {
            c.index = -1;
            for (size_t i = 0; i < std::size(kWorkingModeValue); ++i)
                if (kWorkingModeValue[i] == v)
                    c.index = int(i);
            break;
        }
        case E::BurnTime:
            c.index = burnTimeIndexFor(v);
            break;
        case E::ErrorLimit:
            c.index = errorLimitIndexFor(v);
            break;
        }
    }
}

void storeSetupControls(const SetupControls& controls, uint8_t* block) {
    const auto& fields = setupFields();
    for (size_t k = 0; k < fields.size(); ++k) {
        const SetupField& f = fields[k];
        const SetupControlValue& c = controls[k];
        if (!writtenNow(f, controls))
            continue;
        const bool listed = f.kind != K::MaskEdit;
        if (listed && (c.index < 0 || size_t(c.index) >= f.items.size()))
            continue; // nothing selected: the machine's value stays
        switch (f.encoding) {
        case E::Number:
            writeField(block, f, setupNumberValue(c.text));
            break;
        case E::Speed:
            writeField(block, f, setupSpeedValue(c.text));
            break;
        case E::Hex:
            writeField(block, f, setupHexValue(c.text));
            break;
        case E::TwoChoice:
        case E::Choice:
            writeField(block, f, uint32_t(c.index));
            break;
        case E::WorkingMode:
            writeField(block, f, kWorkingModeValue[c.index]);
            break;
        case E::BurnTime:
            writeField(block, f, combos().burnTimeValues[size_t(c.index)]);
            break;
        case E::ErrorLimit:
            writeField(block, f, combos().errorLimitValues[size_t(c.index)]);
            break;
        }
    }
}

SetupEnabling setupEnabling(const SetupControls& c) {
    SetupEnabling e;
    e.tolerancePlusMinus = c[SETUP_TOLERANCE].index == 2;
    e.burnTime = c[SETUP_BURNIN_MODE].index == 1;
    e.burnLoop = c[SETUP_BURNIN_MODE].index == 0;
    e.dataPattern = c[SETUP_PATTERN_MODE].index == 1;
    return e;
}

SetupRange setupFieldRange(SetupFieldId field) {
    const SetupField& f = setupFields()[size_t(field)];
    if (field == SETUP_POWER_OFF)
        return {0, 15}; // as its label says
    if (std::string_view(f.unit) == "%")
        return {0, 100};
    switch (f.size) {
    case 1:
        return {0, 0xFF};
    case 2:
        return {0, 0xFFFF};
    default:
        return {0, 0xFFFFFFFF};
    }
}

namespace {

// The value of a number field's text, as the dialog reads it, but never
// wrapped: a value past 2^32 stays past it.
uint64_t typedValue(const SetupField& f, const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    uint64_t whole = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        whole = std::min<uint64_t>(whole * 10 + uint64_t(text[i] - '0'), uint64_t(1) << 40);
    if (f.encoding != E::Speed)
        return whole;
    uint64_t tenths = 0;
    if (i + 1 < text.size() && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9')
        tenths = uint64_t(text[i + 1] - '0');
    return whole * 10 + tenths;
}

std::string rangeValueText(const SetupField& f, uint64_t v) {
    if (f.encoding == E::Speed)
        return format("%llu.%llu", static_cast<unsigned long long>(v / 10),
                      static_cast<unsigned long long>(v % 10));
    return format("%llu", static_cast<unsigned long long>(v));
}

} // namespace

std::optional<SetupInputProblem> checkSetupInput(const SetupControls& shown,
                                                 const SetupControls& now) {
    const auto& fields = setupFields();
    for (size_t k = 0; k < fields.size(); ++k) {
        const SetupField& f = fields[k];
        if (f.kind != K::MaskEdit || f.encoding == E::Hex || !writtenNow(f, now) ||
            now[k].text == shown[k].text)
            continue;
        const SetupRange r = setupFieldRange(SetupFieldId(k));
        const uint64_t v = typedValue(f, now[k].text);
        if (v >= r.min && v <= r.max)
            continue;
        std::string name = f.caption;
        if (!name.empty() && name.back() == ':')
            name.pop_back();
        std::string unit = *f.unit ? std::string(" ") + f.unit : std::string();
        if (SetupFieldId(k) == SETUP_POWER_OFF)
            unit = " Seconds";
        return SetupInputProblem{SetupFieldId(k), name + ": " + now[k].text +
                                                      " is out of range (allowed " +
                                                      rangeValueText(f, r.min) + " to " +
                                                      rangeValueText(f, r.max) + unit + ")."};
    }
    return std::nullopt;
}

std::optional<SetupInputProblem> SetupBlockEditor::inputProblem() const {
    SetupControls shown;
    loadSetupControls(block_.data(), shown);
    return checkSetupInput(shown, controls);
}

void SetupBlockEditor::load(const uint8_t* block) {
    std::memcpy(block_.data(), block, kSetupBlockSize);
    loadSetupControls(block_.data(), controls);
}

void SetupBlockEditor::test() {
    std::array<uint8_t, kSetupBlockSize> scratch = block_;
    storeSetupControls(controls, scratch.data());
    loadSetupControls(scratch.data(), controls);
}

void SetupBlockEditor::take(uint8_t* out) const {
    std::memcpy(out, block_.data(), kSetupBlockSize);
}

} // namespace dupmon
