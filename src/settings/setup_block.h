#pragma once
// A machine's setup parameter block as the Setup dialog edits it: the known
// fields and their controls, kept apart from the dialog so that every byte
// the host does not know goes back unchanged.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/frame.h"

namespace dupmon {

// The machine's setup parameter block (kSetupBlockSize bytes, numbers
// big-endian). The host knows the fields of setupFields(); every other byte
// goes back to the machine exactly as it came.

enum class SetupControlKind : uint8_t { MaskEdit, RadioGroup, ComboBox };

// How a field's bytes become what its control shows.
enum class SetupEncoding : uint8_t {
    Number,      // decimal text of the unsigned big-endian value (1, 2 or 4 bytes)
    Speed,       // u16 in tenths of MB/s, shown "%02.1f"
    Hex,         // one byte as two hexadecimal digits, shown "%02X"
    TwoChoice,   // radio group: 0 selects the first item, any other value the second
    Choice,      // radio group or combo box: the value is the item index
    WorkingMode, // combo box: the working mode table
    BurnTime,    // combo box: u16 minutes from the burn time table
    ErrorLimit,  // combo box: u32 hundredths of a percent from the error limit table
};

// When a field is written back from its control.
enum class SetupWrittenWhen : uint8_t {
    Always,
    ToleranceAllowed, // the tolerance group is on "Allow Tolerance"
    UserPattern,      // the data pattern group is on "User Defined"
    BurnTimeMode,     // the burn-in group is on "Burn Time"
    BurnLoopMode,     // the burn-in group is on "Burn Loop"
};

// One field of the block as the dialog shows it.
struct SetupField {
    const char* control; // the control's name
    const char* caption; // radio group caption, or the label before the control
    const char* unit;    // text after a mask edit or combo box ("" for none)
    uint16_t offset;
    uint8_t size;
    SetupControlKind kind;
    SetupEncoding encoding;
    uint8_t digits; // mask edits: characters the operator may type
    SetupWrittenWhen when;
    std::span<const char* const> items; // radio groups and combo boxes
};

// The fields, in this order.
enum SetupFieldId : int {
    SETUP_H3_RANGE,          //  65 1 media check test range, percent
    SETUP_BUTTON_BEEP,       // 102 1 0 ON, 1 OFF
    SETUP_COPY_AREA,         // 104 1 0 system and files, 1 whole media
    SETUP_STARTUP_MENU,      // 105 1 item index 0..8
    SETUP_BURN_RANGE,        // 133 1 burn-in test range, percent
    SETUP_CHECK_BEFORE_COPY, // 146 1 0, 1
    SETUP_TOLERANCE,         // 149 1 0 no limit, 1 same size, 2 allow tolerance
    SETUP_TOLERANCE_PLUS,    // 150 1 percent, written only with tolerance 2
    SETUP_TOLERANCE_MINUS,   // 151 1 percent, written only with tolerance 2
    SETUP_PATTERN_MODE,      // 153 1 0 auto, 1 user defined
    SETUP_PATTERN,           // 154 1 pattern byte, written only in user-defined mode
    SETUP_POWEROFF_BURNIN,   // 155 1 seconds between burn-in loops
    SETUP_COMPARE_COUNT,     // 156 2 compare count per loop
    SETUP_READ_SPEED,        // 158 2 minimum read speed, tenths of MB/s
    SETUP_WRITE_SPEED,       // 160 2 minimum write speed, tenths of MB/s
    SETUP_BURNIN_MODE,       // 162 1 0 burn loop, 1 burn time
    SETUP_ERROR_LIMIT,       // 196 4 media check error limit, hundredths of a percent
    SETUP_ASYNCHRONOUS,      // 209 1 0 enable, 1 disable
    SETUP_WORKING_MODE,      // 220 1 working mode table
    SETUP_BAD_LIMIT,         // 222 2 burn-in bad limit
    SETUP_POWER_OFF,         // 226 1 seconds between copy and compare
    SETUP_BURN_TIME,         // 228 2 minutes, written only in burn-time mode
    SETUP_BURN_LOOP,         // 236 4 loop count, written only in burn-loop mode
    kSetupFieldCount
};

const std::array<SetupField, kSetupFieldCount>& setupFields();

// The combo box tables.
struct BurnTimeEntry {
    const char* text;
    uint16_t minutes;
};
struct ErrorLimitEntry {
    const char* text;
    uint32_t value; // hundredths of a percent
};
inline constexpr size_t kBurnTimeEntries = 54;
inline constexpr size_t kErrorLimitEntries = 54;
const std::array<BurnTimeEntry, kBurnTimeEntries>& burnTimeTable();
const std::array<ErrorLimitEntry, kErrorLimitEntries>& errorLimitTable();
std::span<const char* const> startupMenuItems();
std::span<const char* const> workingModeItems();
// Stored value of each working mode item ("Slower Mode" is 2, "Slowest Mode" 1).
std::span<const uint8_t> workingModeValues();

// The entry a stored value selects when the burn time or error limit is
// loaded: an equal value selects its entry, a value below the first the
// first, one between two entries the lower; above the last, none (-1).
int tableIndexFor(std::span<const uint32_t> values, uint32_t value);
int burnTimeIndexFor(uint32_t minutes);
int errorLimitIndexFor(uint32_t value);

// What one control holds: the text of a mask edit, or the selected item of
// a radio group or combo box (-1: none selected).
struct SetupControlValue {
    std::string text;
    int index = -1;
    bool operator==(const SetupControlValue&) const = default;
};
using SetupControls = std::array<SetupControlValue, kSetupFieldCount>;

// Sets every control from the block. A value that selects no item leaves
// its radio group or combo box without a selection.
void loadSetupControls(const uint8_t* block, SetupControls& controls);
// Writes every field from its control into the block. A radio group or combo
// box without a selection, and a field whose condition does not hold, leave
// their bytes as they are.
void storeSetupControls(const SetupControls& controls, uint8_t* block);

// Which controls the operator may change, from the radio groups' choices.
struct SetupEnabling {
    bool tolerancePlusMinus = false;
    bool burnTime = false;
    bool burnLoop = false;
    bool dataPattern = false;
    bool operator==(const SetupEnabling&) const = default;
};
SetupEnabling setupEnabling(const SetupControls& controls);

// Text conversions of the number fields, as the dialog reads them.
// Leading blanks, an optional sign, then digits up to the first other
// character; no digits gives 0. Wraps modulo 2^32.
uint32_t setupNumberValue(const std::string& text);
// Whole MB/s before the point, tenths from the digit after it: "12.5" is 125.
uint32_t setupSpeedValue(const std::string& text);
// Up to two hexadecimal digits after leading blanks: "A5" is 0xA5, "G" is 0.
uint8_t setupHexValue(const std::string& text);

// What an operator may type into a number field: what its bytes hold, or
// less where the field says so (a percentage; the "(0 to 15)" seconds of the
// power-off between copy and compare). Speeds in tenths of MB/s.
struct SetupRange {
    uint32_t min = 0, max = 0;
};
SetupRange setupFieldRange(SetupFieldId field);
// A typed value past its range is refused with this message, never wrapped
// into the field's bytes: "Media Check Test Range: 300 is out of range
// (allowed 0 to 100 %).".
struct SetupInputProblem {
    SetupFieldId field;
    std::string message;
};
// The first number field written now whose text differs from `shown` (what
// the machine's block showed) and lies outside its range. A value the
// operator left as the machine gave it goes back as it came.
std::optional<SetupInputProblem> checkSetupInput(const SetupControls& shown,
                                                 const SetupControls& now);

// The dialog's state: its copy of the block and its controls.
class SetupBlockEditor {
public:
    // Keep a copy of the block and set every control from it.
    void load(const uint8_t* block);
    // OK: the controls go into the dialog's block.
    void ok() { storeSetupControls(controls, block_.data()); }
    // TEST: the controls go into a scratch copy, which is loaded back, so the
    // operator sees the values as they will be stored. Nothing is sent.
    void test();
    // Copy the dialog's block out.
    void take(uint8_t* out) const;
    // A typed value out of its range, checked before OK and TEST.
    std::optional<SetupInputProblem> inputProblem() const;
    const std::array<uint8_t, kSetupBlockSize>& block() const { return block_; }
    SetupEnabling enabling() const { return setupEnabling(controls); }

    SetupControls controls;

private:
    std::array<uint8_t, kSetupBlockSize> block_{};
};

} // namespace dupmon
