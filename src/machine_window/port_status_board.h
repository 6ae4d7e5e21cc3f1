#pragma once
// Everything the machine window shows of a running machine, decided without
// the window: layout kind, job labels, menus and each port's lines.
#include <bitset>
#include <cstdint>
#include <functional>
#include <string>

#include "machine_window/port_display.h"
#include "machine_window/port_record.h"
#include "protocol/command_machine.h"
#include "protocol/machine_info.h"

namespace dupmon {

// How the port map is laid out: machineType 1 and 2 panels, or rows of ports.
enum class LayoutKind { Ordinary, Kind1, Kind2 };
LayoutKind layoutKindOf(const MachineInfo& info);

// Jobs may be started from the window on controllers from version 2.8.8 on.
bool controllerActionsAllowed(const MachineInfo& info);

// Text colours of the job labels.
enum class TextColour : uint8_t { Default, Blue, Red };

// The job panel's labels that status data writes.
struct JobLabels {
    std::string pass = "PASS:";
    std::string fail = "FAIL:";
    std::string failureRate = "FAILURE RATE:";
    std::string yield = "YIELD:";
    std::string remaining = "(0)";
    TextColour remainingColour = TextColour::Blue;
};

// Enabled state of the machine window's menus.
struct MenuState {
    bool machine = false; // enabled by the first status block
    bool logData = true;
    bool action = false;
    bool getInfo = false;
};

// Everything the machine window shows about a running machine, decided from
// the engine's status notifications: the function name, the job labels, the
// menus, and each port's record and two status lines. The window paints what
// this holds and asks it what changed.
class PortStatusBoard {
public:
    // `info` is read for every notification (port count, flags).
    explicit PortStatusBoard(const MachineInfo& info);

    // A status notification of the engine: code and its data (see StatusCode).
    void onStatus(int code, const void* data);

    // The job panel's total quantity, as the operator typed it.
    void setTotalText(std::string text) { totalText_ = std::move(text); }

    int portCount() const;
    const PortRecord& port(int i) const { return ports_[i]; }
    const PortLines& lines(int i) const { return lines_[i]; }
    const std::string& functionText() const { return functionText_; }
    int currentFunction() const { return currentFunction_; }
    bool sensorLatched() const { return sensorLatched_; }
    const uint8_t* statusCopy() const { return statusCopy_; }
    const JobLabels& labels() const { return labels_; }
    const MenuState& menus() const { return menus_; }
    bool actionsAllowed() const { return actionsAllowed_; }
    LayoutKind layoutKind() const { return kind_; }

    // What changed since the last call.
    struct Changes {
        std::bitset<kMaxPorts> ports;
        bool function = false;
        bool labels = false;
        bool menus = false;
        bool any() const { return ports.any() || function || labels || menus; }
    };
    Changes takeChanges();

    // Called from inside onStatus, at the moment the decision is taken.
    // The probe sensor was released: save a picture of the window before the
    // ports are blanked.
    std::function<void()> savePictureRequested;
    // Code 24 rendered on a machine that asks whether to continue or finish.
    std::function<void()> continueOrFinishNeeded;
    // Code 5: the device-information block.
    std::function<void(const DeviceInfoBlock& block)> deviceInfoReceived;

private:
    RenderContext context() const;
    void onMachineStatus(const uint8_t* block);
    void onSummary(const uint8_t* record);
    // The job labels from the counts in statusCopy_; true when a text changed.
    bool showJobCounts();
    void blankAll();
    void clearPorts();
    // Decode a port data block into the records it covers; returns the range
    // of ports that may be rendered, [first, end).
    bool decode(const void* data, int& first, int& end, bool wholeBlockOrNothing);
    template <class Fn> void renderRange(int first, int end, Fn fn);

    const MachineInfo& info_;
    LayoutKind kind_;
    bool actionsAllowed_;
    int currentFunction_ = 0;
    bool sensorLatched_ = false;
    uint8_t statusCopy_[28] = {};
    PortRecord ports_[kMaxPorts] = {};
    PortLines lines_[kMaxPorts];
    std::string functionText_ = "JOB";
    JobLabels labels_;
    MenuState menus_;
    std::string totalText_;
    Changes changes_;
};

} // namespace dupmon
