#include "devinfo/get_device_info.h"

#include <cstdio>
#include <istream>
#include <optional>
#include <sstream>

#include "common/file_io.h"
#include "common/text.h"
#include "protocol/machine_requests.h"

namespace dupmon {

namespace {

// Reads one line into `line`, keeping at most `limit` bytes of it; the rest of
// a longer line is skipped, never taken as a line of its own. False at the end.
bool readLine(std::istream& in, std::string& line, size_t limit) {
    line.clear();
    std::streambuf* buf = in.rdbuf();
    if (!buf)
        return false;
    bool any = false;
    for (;;) {
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            return any;
        }
        any = true;
        if (c == '\n')
            return true;
        if (line.size() < limit)
            line += char(c);
    }
}

// A path line: blanks at both ends cut, and the line ends of a file written
// elsewhere among them; too long is none.
std::string pathFromLine(const std::string& line) {
    std::string_view p = line;
    while (!p.empty() && (p.back() == ' ' || p.back() == '\r'))
        p.remove_suffix(1);
    p = trimBlanks(p);
    return p.size() <= kMaxDeviceInfoPath ? std::string(p) : std::string();
}

// "%u" at the start of a line: blanks, an optional "+", digits; a number that
// does not fit 32 bits is no serial number.
bool leadingNumber(const std::string& line, uint32_t& out) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
        ++i;
    if (i < line.size() && line[i] == '+')
        ++i;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
        v = v * 10 + uint64_t(line[i] - '0');
        if (v > 0xFFFFFFFFu)
            return false;
    }
    if (!digits)
        return false;
    out = uint32_t(v);
    return true;
}

// Text files take the platform's line ends.
std::string platformLines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

constexpr size_t kParameterLineLimit = 4096;
constexpr size_t kCheckIdLineLimit = 128;
constexpr size_t kParameterFileLimit = 4 * (kParameterLineLimit + 1);
// Room for every serial number of a full list with generous line ends.
constexpr size_t kCheckIdFileLimit = kMaxCheckIds * 32;

} // namespace

DeviceInfoParameters parseDeviceInfoParameters(std::istream& in) {
    DeviceInfoParameters p;
    std::string line;
    if (!readLine(in, line, kParameterLineLimit)) // 1. own path, not read back
        return p;
    if (!readLine(in, line, kParameterLineLimit))
        return p;
    int top, left, width, height;
    if (std::sscanf(line.c_str(), "%d %d %d %d", &top, &left, &width, &height) == 4) {
        p.placementRead = true;
        p.top = top;
        p.left = left;
        p.width = width;
        p.height = height;
    }
    if (readLine(in, line, kParameterLineLimit))
        p.appendPath = pathFromLine(line);
    if (readLine(in, line, kParameterLineLimit))
        p.checkIdPath = pathFromLine(line);
    return p;
}

std::string formatDeviceInfoParameters(const std::string& ownPath, int top, int left, int width,
                                       int height, const std::string& appendPath,
                                       const std::string& checkIdPath) {
    return ownPath + "\n" + format("%d %d %d %d \n", top, left, width, height) +
           (appendPath.empty() ? " " : appendPath) + "\n" +
           (checkIdPath.empty() ? " " : checkIdPath) + "\n";
}

bool deviceInfoPlacementFits(const DeviceInfoParameters& p, int screenWidth, int screenHeight) {
    // A window of no size would be invisible: that is no placement either.
    return p.placementRead && p.width > 0 && p.height > 0 && p.width <= screenWidth &&
           p.height <= screenHeight && p.left >= 0 && p.left < screenWidth && p.top >= 0 &&
           p.top < screenHeight;
}

CheckIdFileRead readCheckIds(std::istream& in, size_t max) {
    CheckIdFileRead r;
    std::string line;
    while (readLine(in, line, kCheckIdLineLimit)) {
        uint32_t n;
        if (!leadingNumber(line, n))
            continue;
        if (r.ids.size() >= max) {
            r.overflow = true;
            break;
        }
        r.ids.push_back(n);
    }
    return r;
}

GetDeviceInfoCore::GetDeviceInfoCore(std::filesystem::path workDir, const Clock& clock,
                                     UiServices& ui)
    : workDir_(std::move(workDir)), clock_(clock), ui_(ui) {}

bool GetDeviceInfoCore::pathFits(const std::filesystem::path& p) {
    return p.string().size() <= kMaxDeviceInfoPath;
}

void GetDeviceInfoCore::create(int screenWidth, int screenHeight) {
    // 1, 2. The parameter file beside the program's other files.
    appendPath_.clear();
    parameterPath_ = workDir_ / kDeviceInfoParameterFile;
    // Four short lines are all it holds: a larger file is not read further,
    // and one that cannot be read is as good as none.
    if (const auto text = readSmallFile(parameterPath_, kParameterFileLimit)) {
        std::istringstream in(*text);
        start_ = parseDeviceInfoParameters(in);
        usePlacement_ = deviceInfoPlacementFits(start_, screenWidth, screenHeight);
        appendPath_ = start_.appendPath;
        checkIdPath_ = start_.checkIdPath;
    }
    // 3. The check list of the file last chosen.
    if (!checkIdPath_.empty())
        loadCheckList();
    // 4.
    memo_.clear();
}

std::string GetDeviceInfoCore::appendFileName() const {
    return std::filesystem::path(appendPath_).filename().string();
}

std::string GetDeviceInfoCore::checkIdFileName() const {
    return std::filesystem::path(checkIdPath_).filename().string();
}

void GetDeviceInfoCore::showCount() {
    idQtyText_ = std::to_string(checkIds_.size());
    if (checkListFull())
        idQtyText_ += " (full)";
}

void GetDeviceInfoCore::loadCheckList() {
    writeNewCheckIds(); // numbers of the file chosen before go to that file
    // 1.
    checkEnabled_ = true;
    checkIds_.clear();
    checkSet_.clear();
    idQtyText_.clear();
    // 2. A file that cannot be opened leaves the list empty and the check on.
    bool cut = false;
    const auto text = readSmallFile(checkIdPath_, kCheckIdFileLimit, &cut);
    if (!text)
        return;
    std::istringstream in(*text);
    // 3, 4. Of a file larger than any list of serial numbers, no new number
    // is written behind what was not read.
    CheckIdFileRead r = readCheckIds(in);
    r.overflow = r.overflow || cut;
    checkIds_ = std::move(r.ids);
    checkSet_.insert(checkIds_.begin(), checkIds_.end());
    showCount();
    if (r.overflow)
        ui_.messageBox(format("The check ID file holds more than %zu serial numbers: only the "
                              "first %zu are checked, and no new one is recorded.",
                              kMaxCheckIds, kMaxCheckIds),
                       "Warning");
}

void GetDeviceInfoCore::activate() {
    const bool checking = machine_ && machine_->info().deviceType == 10;
    if (!checking) {
        // The list of another machine kind must not look as if it were in use.
        checkEnabled_ = false;
        checkIdPath_.clear();
        idQtyText_.clear();
    }
    checkControlsVisible_ = checking;
    memo_.clear();
}

bool GetDeviceInfoCore::chooseAppendFile(const std::filesystem::path& path) {
    if (!pathFits(path)) {
        ui_.messageBox(
            format("The file path is too long (at most %zu characters).", kMaxDeviceInfoPath),
            "Error");
        return false;
    }
    appendPath_ = path.string();
    return true;
}

bool GetDeviceInfoCore::chooseCheckIdFile(const std::filesystem::path& path) {
    if (!pathFits(path)) {
        ui_.messageBox(
            format("The file path is too long (at most %zu characters).", kMaxDeviceInfoPath),
            "Error");
        return false;
    }
    checkIdPath_ = path.string();
    loadCheckList();
    return true;
}

void GetDeviceInfoCore::getDeviceInfo() {
    if (machine_ && machine_->silent()) {
        ui_.messageBox("The machine does not answer: nothing is sent to it until it answers "
                       "again.",
                       "Warning");
        return;
    }
    if (machine_)
        machine_->requestDeviceInfo();
    buttonsEnabled_ = false;
    uncheckedInResult_ = 0;
    memo_ = " \r\nGetting Data ....";
}

bool GetDeviceInfoCore::checkSerial(uint32_t serialNo) {
    // 1, 2.
    if (!checkEnabled_)
        return false;
    if (checkSet_.count(serialNo))
        return true;
    if (checkListFull()) {
        ++uncheckedInResult_;
        return false;
    }
    // 3. Kept in memory even when the file cannot be written. The file is
    //    written whole once per result, not once per number: a result of a
    //    full machine would otherwise write and sync it dozens of times.
    checkIds_.push_back(serialNo);
    checkSet_.insert(serialNo);
    unwrittenIds_.push_back(serialNo);
    showCount();
    return false;
}

void GetDeviceInfoCore::writeNewCheckIds() {
    if (unwrittenIds_.empty() || checkIdPath_.empty())
        return;
    // What the file holds now, lines of other text included. A file that is
    // there but cannot be read whole (a folder, a pipe, more than any list)
    // is left alone; the numbers stay in memory.
    std::error_code ec;
    std::string text;
    bool readable = true;
    if (std::filesystem::exists(checkIdPath_, ec)) {
        bool cut = false;
        std::optional<std::string> now = readSmallFile(checkIdPath_, kCheckIdFileLimit, &cut);
        readable = now && !cut;
        if (readable)
            text = std::move(*now);
    }
    if (readable) {
        if (!text.empty() && text.back() != '\n')
            text += '\n';
        for (uint32_t n : unwrittenIds_)
            text += format("%u\n", n);
        writeWholeFile(checkIdPath_, text, LinkRule::Follow);
    }
    unwrittenIds_.clear();
}

void GetDeviceInfoCore::showResult(const std::string& text) {
    // 1.
    memo_ = text;
    if (uncheckedInResult_) {
        memo_ += format("WARNING !  The check ID list is full (%zu numbers): %u new serial "
                        "numbers were not recorded.\r\n",
                        kMaxCheckIds, uncheckedInResult_);
        uncheckedInResult_ = 0;
    }
    writeNewCheckIds();
    // 2. The time stamp and the text in one write, so that an entry is never
    //    left without its text.
    if (!appendPath_.empty()) {
        if (AppendFile out = openAppendFile(appendPath_, LinkRule::Follow)) {
            const LocalTime t = clock_.localTime();
            appendWhole(out.fd.get(), format("\n\n%4d-%02d-%02d %02d:%02d:%02d\n", t.year, t.month,
                                             t.day, t.hour, t.minute, t.second) +
                                          platformLines(text));
        }
    }
    // 3.
    buttonsEnabled_ = true;
}

void GetDeviceInfoCore::showFailure(const std::string& why) {
    memo_ = " \r\n" + why;
    buttonsEnabled_ = true;
}

void GetDeviceInfoCore::close() {
    if (machine_)
        machine_->requestRelease();
}

void GetDeviceInfoCore::destroy(int top, int left, int width, int height) {
    writeNewCheckIds();
    writeWholeFile(parameterPath_,
                   formatDeviceInfoParameters(parameterPath_.string(), top, left, width, height,
                                              appendPath_, checkIdPath_));
}

} // namespace dupmon
