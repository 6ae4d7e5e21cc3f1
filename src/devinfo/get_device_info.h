#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/clock.h"
#include "common/ui_services.h"

namespace dupmon {

class MachineRequests;

// The window's parameter file in the working directory, text:
//   1 "%s\n"            the file's own path (not read back)
//   2 "%d %d %d %d \n"  top, left, width, height
//   3 "%s\n"            the append file, or " \n" for none
//   4 "%s\n"            the check-ID file, or " \n" for none
inline constexpr char kDeviceInfoParameterFile[] = "QX42_GetDeviceInfo_para.def";
inline constexpr size_t kMaxDeviceInfoPath = 511;
// The check list holds at most this many serial numbers. At the bound a
// serial number not in the list is neither kept nor written to the file,
// and the window says that the list is full.
inline constexpr size_t kMaxCheckIds = 100000;

struct DeviceInfoParameters {
    bool placementRead = false; // all four numbers of line 2 were read
    int top = 0, left = 0, width = 0, height = 0;
    std::string appendPath;  // empty: none
    std::string checkIdPath; // empty: none
};

// Reads the parameter file's text. A path line is cut of blanks at both ends;
// a path longer than kMaxDeviceInfoPath is not taken.
DeviceInfoParameters parseDeviceInfoParameters(std::istream& in);
std::string formatDeviceInfoParameters(const std::string& ownPath, int top, int left, int width,
                                       int height, const std::string& appendPath,
                                       const std::string& checkIdPath);
// Whether a saved placement fits the screen: the window no larger than the
// screen, its top-left corner on it.
bool deviceInfoPlacementFits(const DeviceInfoParameters& p, int screenWidth, int screenHeight);

// Serial numbers from a check-ID file: one "%u" per line; a line that does
// not start with a number is skipped. At most `max` numbers are read;
// `overflow` tells whether the file held more.
struct CheckIdFileRead {
    std::vector<uint32_t> ids;
    bool overflow = false;
};
CheckIdFileRead readCheckIds(std::istream& in, size_t max = kMaxCheckIds);

// What the get-device-info window shows and keeps, without the window: the
// append file, the check-ID list, the result text and the enabled states. The
// window forwards its events here and paints what this holds.
class GetDeviceInfoCore {
public:
    GetDeviceInfoCore(std::filesystem::path workDir, const Clock& clock, UiServices& ui);

    // FormCreate: read the parameter file, load the check list.
    void create(int screenWidth, int screenHeight);
    // Set by the machine window before each showing.
    void setMachine(MachineRequests* machine) { machine_ = machine; }
    MachineRequests* machine() const { return machine_; }
    // FormActivate: the check controls only for machines that check serial numbers.
    void activate();
    // "Set Append File" and "Set Check ID File", with the path the operator chose.
    bool chooseAppendFile(const std::filesystem::path& path);
    bool chooseCheckIdFile(const std::filesystem::path& path);
    // "Get Device Info.": post the request; both buttons wait for the result.
    void getDeviceInfo();
    // True when the serial number was seen before; a new one is kept, and
    // reaches the check-ID file with the result it belongs to.
    bool checkSerial(uint32_t serialNo);
    // The composed text: the new serial numbers written to the check-ID file,
    // the text shown and appended to the append file, buttons enabled.
    void showResult(const std::string& text);
    // No result comes: why, in the memo; the buttons work again.
    void showFailure(const std::string& why);
    // FormClose: let the machine leave its device-information state.
    void close();
    // FormDestroy: write the parameter file with the window's placement.
    void destroy(int top, int left, int width, int height);

    // --- what the window shows ---
    const std::filesystem::path& parameterPath() const { return parameterPath_; }
    const DeviceInfoParameters& startParameters() const { return start_; }
    bool usePlacement() const { return usePlacement_; }
    const std::string& appendPath() const { return appendPath_; }
    const std::string& checkIdPath() const { return checkIdPath_; }
    std::string appendFileName() const;
    std::string checkIdFileName() const;
    const std::string& idQtyText() const { return idQtyText_; }
    bool checkEnabled() const { return checkEnabled_; }
    bool checkControlsVisible() const { return checkControlsVisible_; }
    bool buttonsEnabled() const { return buttonsEnabled_; }
    const std::string& memo() const { return memo_; }
    const std::vector<uint32_t>& checkIds() const { return checkIds_; }
    bool checkListFull() const { return checkIds_.size() >= kMaxCheckIds; }

private:
    void loadCheckList();
    // Writes the check-ID file whole: what it holds now, then the numbers
    // seen since the last write.
    void writeNewCheckIds();
    void showCount();
    static bool pathFits(const std::filesystem::path& p);

    std::filesystem::path workDir_;
    const Clock& clock_;
    UiServices& ui_;
    MachineRequests* machine_ = nullptr;

    std::filesystem::path parameterPath_;
    DeviceInfoParameters start_;
    bool usePlacement_ = false;
    std::string appendPath_;
    std::string checkIdPath_;
    bool checkEnabled_ = false;
    std::vector<uint32_t> checkIds_;
    std::unordered_set<uint32_t> checkSet_;
    std::vector<uint32_t> unwrittenIds_; // seen, not yet in the check-ID file
    uint32_t uncheckedInResult_ = 0;

    std::string idQtyText_;
    bool checkControlsVisible_ = true;
    bool buttonsEnabled_ = true;
    std::string memo_;
};

} // namespace dupmon
