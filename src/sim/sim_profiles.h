#pragma once
// The kinds of duplicator a stand-in can play: identification answer, board
// layout, media kind and features of each built-in profile.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dupmon {

// What a port of a stand-in machine takes: the kind of medium decides the
// identity a job log record and a device information record carry.
enum class MediaKind : uint8_t { Usb, Sd, Mmc, Cf };

// One kind of duplicator as the stand-in plays it: what it says about itself
// in the identification answer, its board layout and what it can do.
struct SimProfile {
    std::string name;      // "usb10", ...
    std::string modelName; // identification answer, 20 bytes
    std::string version;   // "vM.SS.m"
    std::string idPrefix;  // machine identity text starts with this
    uint16_t productId = 0x2001;
    uint8_t deviceType = 2;
    uint8_t machineType = 0;
    uint8_t flags39 = 0; // bit 0 async erase, bit 1 image bank, bit 5 feature bit 5
    uint8_t flags44 = 0; // bit 0 wide, 1 probe, 2 probe sensor, 3 feature bit 3, 4 bit 4, 7 bit 7
    uint16_t ports = 10; // maxDeviceQty; port 0 holds the master
    uint16_t boardQty = 1;
    uint16_t portsPerBoard = 10;
    uint8_t portsPerRow = 5;
    uint16_t systemTotalBufferSize = 512;
    MediaKind media = MediaKind::Usb;
    bool jobLog = true; // W 20 answers 0

    bool imageBank() const { return flags39 & 0x02; }
    bool continueOrFinish() const { return flags44 & 0x08; }
    // Whether port and kind-11 records go out in the wide layout: the same
    // rule the host applies to the identification answer.
    bool wideLayout() const;
};

// Identification flag bits of byte 44.
inline constexpr uint8_t kFlagWide = 0x01;
inline constexpr uint8_t kFlagProbe = 0x02;
inline constexpr uint8_t kFlagProbeSensor = 0x04;
inline constexpr uint8_t kFlagFeature3 = 0x08;
inline constexpr uint8_t kFlagFeature4 = 0x10;
// Identification flag bits of byte 39.
inline constexpr uint8_t kFlagAsyncErase = 0x01;
inline constexpr uint8_t kFlagImageBank = 0x02;

// Every built-in profile, in a fixed order.
const std::vector<SimProfile>& simProfiles();
// The profile of that name, or nullptr.
const SimProfile* findSimProfile(std::string_view name);

} // namespace dupmon
