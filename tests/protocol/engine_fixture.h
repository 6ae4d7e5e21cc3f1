#pragma once
#include <gtest/gtest.h>

#include "support/controller_script.h"
#include "support/engine_harness.h"
#include "support/mini_controller.h"

namespace dupmon {

// A controller with a job log of `logCount` records from `logFirstNo`, standing idle.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { script.install(mc); }

    void identify() {
        h.plug(mc.device);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 10000));
    }
    std::vector<uint32_t> logNumbersAsked() const {
        std::vector<uint32_t> v;
        for (const auto& c : mc.commands)
            if (c.letter == 'W' && c.params[0] == 23)
                v.push_back(readBE32(c.params.data() + 1));
        return v;
    }

    EngineHarness h;
    MiniController mc;
    ControllerScript script;
    const char*& model = script.model;
    const char*& version = script.version;
    std::string& nick = script.nick;
    int &ports = script.ports, &deviceType = script.deviceType, &machineType = script.machineType,
        &boards = script.boards, &perBoard = script.perBoard, &perRow = script.perRow;
    uint8_t &flags39 = script.flags39, &flags44 = script.flags44;
    bool& hasLog = script.hasLog;
    uint8_t &state = script.state, &subState = script.subState;
    uint32_t &logFirstNo = script.logFirstNo, &logCount = script.logCount;
};

} // namespace dupmon
