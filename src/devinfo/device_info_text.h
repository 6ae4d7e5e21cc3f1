#pragma once
// Device information as text: the block a machine collects about the devices
// in its ports, read record by record into the lines the get-device-info
// window shows, with SD serial numbers seen before warned of.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dupmon {

// Device information block, as the machine collects it for every port
// (big-endian):
//   0  2  device count n
//   2  2  record size z
//   4  1  device type t: 1 USB, 2 SD or MMC, 3 CF
//   8     record j at 8 + j * z
// Record byte 0 is the device status: 0 no device, 1 or 2 bad, 3 present.
//   USB: 4 VID, 6 PID, 8 serial[40], 52 sectors (u32), 64 sector size (u16),
//        66 vendor[8], 74 product[16], 90 version[4]
//   SD:  1 card kind (0 none, 1 SD, 2 MMC, 3 eMMC), 8 sectors, 28 serial (u32),
//        32 year (u16), 34 month, 35 MID, 36 OID[2], 38 name[5], 44/45 revision,
//        46 sector size
//   CF:  8 sectors, 12 sector size, 20 serial[20], 40 version[8], 48 model[40]
inline constexpr int kDeviceTypeUsb = 1;
inline constexpr int kDeviceTypeSd = 2;
inline constexpr int kDeviceTypeCf = 3;
// The machine kind (MachineInfo deviceType) whose cards are checked for
// repeated serial numbers.
inline constexpr uint8_t kSerialCheckMachine = 10;

// The machine window's text buffer, terminating NUL included.
inline constexpr size_t kDeviceInfoTextBuffer = 20000;
// Ports one mark request can carry.
inline constexpr size_t kMaxRepeatPorts = 1026;

struct DeviceInfoText {
    std::string text; // lines ended by "\r\n", at most kDeviceInfoTextBuffer - 1 bytes
    // 1-based port numbers of cards whose serial number was seen before.
    std::vector<uint16_t> repeatPorts;
    int devicesShown = 0; // records that have a line of their own
};

// The capacity text of a device, padded to 20 characters: "%dMB(%u)" below
// 1024 MB, "%.2fGB(%u)" below 10240 MB, "%.1fGB(%u)" above.
std::string deviceCapacityText(uint32_t sectors, uint16_t sectorSize);

// Turns a device information block of `size` bytes into the text the
// get-device-info window shows. `machineDeviceType` 10 selects the SD form,
// in which every present card's non-zero serial number is put to
// `checkSerial` (true: seen before; the line is warned and its port listed).
// Bytes a record would need beyond the block read as 0; the text stops,
// saying so, where the block or the text buffer ends.
DeviceInfoText composeDeviceInfoText(const uint8_t* block, size_t size, uint8_t machineDeviceType,
                                     const std::function<bool(uint32_t)>& checkSerial);

// What the machine window hands device information to: the get-device-info
// window, which keeps the serial numbers seen and shows the result.
class DeviceInfoResultSink {
public:
    virtual ~DeviceInfoResultSink() = default;
    virtual bool checkSerial(uint32_t serialNo) = 0;
    virtual void showResult(const std::string& text) = 0;
    // No device information comes, and why: the wait for it ends.
    virtual void showFailure(const std::string& /*why*/) {}
};

} // namespace dupmon
