#pragma once
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/mini_controller.h"

namespace dupmon {

// A plain idle controller for MiniController: identification, boards,
// nickname, a job log of `logCount` records from `logFirstNo`, status, clock set.
struct ControllerScript {
    const char* model = "USB-10 Duplicator";
    const char* version = "v2.41.3";
    std::string machineId = "MID-0001";
    std::string nick = "Line 3";
    int ports = 10, deviceType = 2, machineType = 0, boards = 1, perBoard = 10, perRow = 10;
    uint8_t flags39 = 0, flags44 = 0x08;
    bool hasLog = true;
    uint8_t state = 0, subState = 0;
    uint32_t logFirstNo = 500, logCount = 20;

    void install(MiniController& mc) {
        auto& h = mc.handlers;
        h["A"] = [this, &mc](const MiniController::Command&, uint8_t&) {
            return mc.identification(model, version, ports, deviceType, machineType, flags39,
                                     flags44);
        };
        h["W1"] = [id = machineId](const MiniController::Command&, uint8_t&) {
            std::vector<uint8_t> d(64, 0);
            std::memcpy(d.data(), id.data(), std::min<size_t>(63, id.size()));
            return d;
        };
        h["W2"] = [this, &mc](const MiniController::Command&, uint8_t&) {
            std::vector<uint8_t> d(5, 0);
            writeLE16(d.data(), uint16_t(boards));
            writeLE16(d.data() + 2, uint16_t(perBoard));
            d[4] = uint8_t(perRow);
            return d;
        };
        h["W3"] = [](const MiniController::Command& c, uint8_t&) {
            const int first = c.params[1] | c.params[2] << 8;
            std::vector<uint8_t> d(40 * c.params[3], 0);
            for (int i = 0; i < c.params[3]; ++i) {
                uint8_t* r = d.data() + 40 * i;
                std::snprintf(reinterpret_cast<char*>(r), 16, "BOARD%d", first + i);
                std::memcpy(r + 16, "R1", 2);
                writeBE32(r + 24, 0x1A2B);
                writeBE16(r + 28, 64);
                writeBE16(r + 30, 10);
                writeBE16(r + 32, 2);
                writeBE32(r + 36, 77);
            }
            return d;
        };
        h["W4"] = [this, &mc](const MiniController::Command&, uint8_t&) {
            std::vector<uint8_t> d(56, 0);
            std::memcpy(d.data(), nick.data(), nick.size());
            return d;
        };
        h["W20"] = [this, &mc](const MiniController::Command&, uint8_t& r) {
            r = hasLog ? 0 : 1;
            return std::vector<uint8_t>{};
        };
        h["W22"] = [this, &mc](const MiniController::Command&, uint8_t&) {
            std::vector<uint8_t> d(8);
            writeBE32(d.data(), logFirstNo);
            writeBE32(d.data() + 4, logFirstNo + logCount);
            return d;
        };
        h["B"] = [this, &mc](const MiniController::Command&, uint8_t&) {
            std::vector<uint8_t> d(28, 0);
            d[2] = state;
            d[3] = subState;
            writeBE32(d.data() + 20, logFirstNo);
            writeBE32(d.data() + 24, logCount);
            return d;
        };
        h["W23"] = [](const MiniController::Command& c, uint8_t&) {
            std::vector<uint8_t> d(128, 0);
            std::memcpy(d.data(), c.params.data() + 1, 4);
            return d;
        };
        h["W12"] = [](const MiniController::Command&, uint8_t& r) {
            r = 0x41;
            return std::vector<uint8_t>{};
        };
    }
};

} // namespace dupmon
