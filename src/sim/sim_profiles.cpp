// The built-in stand-in profiles, and the rule by which a profile's flags
// and firmware version decide the wide record layout.
#include "sim/sim_profiles.h"

#include <cstdio>

namespace dupmon {

bool SimProfile::wideLayout() const {
    if (flags44 & kFlagWide)
        return true;
    int major = 0, sub = 0, minor = 0;
    if (std::sscanf(version.c_str(), "v%d.%d.%d", &major, &sub, &minor) != 3)
        return false;
    const bool older =
        major < 2 || (major == 2 && sub < 40) || (major == 2 && sub == 40 && minor < 7);
    switch (deviceType) {
    case 2:
    case 7:
    case 8:
    case 9:
    case 15:
    case 16:
        return older;
    default:
        return false;
    }
}

namespace {

std::vector<SimProfile> makeProfiles() {
    std::vector<SimProfile> v;
    auto add = [&v](SimProfile p) { v.push_back(std::move(p)); };
    const uint8_t modern = kFlagWide | kFlagFeature3 | kFlagFeature4;

    // name, model, version, id prefix, pid, deviceType, machineType, flags39, flags44,
    // ports, boards, ports per board, per row, buffer, media, job log
    add({"usb10", "SIM USB Tower 10", "v3.12.5", "SU10", 0x2001, 2, 0, kFlagAsyncErase, modern, 10,
         1, 10, 5, 1024, MediaKind::Usb, true});
    add({"combo16", "SIM Combo 16", "v3.08.2", "SC16", 0x2002, 4, 0, 0, modern, 16, 2, 8, 8, 1024,
         MediaKind::Usb, true});
    add({"microsd24", "SIM MicroSD 24", "v3.05.1", "SM24", 0x2002, 3, 0, 0,
         modern | kFlagProbe | kFlagProbeSensor, 24, 3, 8, 8, 512, MediaKind::Sd, true});
    add({"cf8", "SIM CF 8", "v2.52.0", "SF08", 0x3001, 5, 0, 0, kFlagWide | kFlagFeature3, 8, 1, 8,
         4, 512, MediaKind::Cf, true});
    // Jobs start at its own panel; the PC gets device information and checks
    // serial numbers (ports 3 and 8 hold cards with the same number).
    add({"sd20", "SIM SD 20", "v3.01.4", "SD20", 0x2002, 10, 0, 0, kFlagWide, 20, 2, 10, 10, 512,
         MediaKind::Sd, true});
    // Reports 11 per board and row; the host shows machineType 1 with 8 of each.
    add({"panel121", "SIM Panel 121", "v3.20.0", "SP121", 0x3001, 2, 1, kFlagAsyncErase, modern,
         121, 11, 11, 11, 4096, MediaKind::Usb, true});
    add({"panel2", "SIM Panel 41", "v3.20.0", "SP41", 0x3001, 2, 2, 0, modern, 41, 5, 8, 8, 2048,
         MediaKind::Usb, true});
    // Old firmware: v2.40.6 on deviceType 7 counts as wide by age although
    // byte 44 bit 0 is clear; v2.40.7 is the first that sends the narrow layout.
    add({"old7", "SIM Legacy 12", "v2.40.6", "SL12", 0x2001, 7, 0, 0, 0, 12, 1, 12, 6, 256,
         MediaKind::Usb, true});
    add({"narrow7", "SIM Legacy 12N", "v2.40.7", "SN12", 0x2001, 7, 0, 0, kFlagFeature3, 12, 1, 12,
         6, 256, MediaKind::Usb, true});
    add({"bank10", "SIM HDD Bank 10", "v3.15.0", "SB10", 0x2001, 2, 0, kFlagImageBank, modern, 10,
         1, 10, 5, 2048, MediaKind::Usb, true});
    add({"nolog8", "SIM Basic 8", "v2.60.3", "SN08", 0x2002, 2, 0, 0, kFlagWide, 8, 1, 8, 4, 256,
         MediaKind::Usb, false});
    return v;
}

} // namespace

const std::vector<SimProfile>& simProfiles() {
    static const std::vector<SimProfile> profiles = makeProfiles();
    return profiles;
}

const SimProfile* findSimProfile(std::string_view name) {
    for (const auto& p : simProfiles())
        if (p.name == name)
            return &p;
    return nullptr;
}

} // namespace dupmon
