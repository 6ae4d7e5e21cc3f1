#pragma once
#include <string>
#include <vector>

#include "shell/machine_slots.h"

namespace dupmon {

// A board that places pictures and keeps the lines it is told, for tests of
// the slots that do not look at the board.
struct QuietBoard final : BoardView {
    int placed = 0;
    std::vector<std::string> lines;
    int placePicture(const MachineInfo&) override { return placed++; }
    void showOn(int, int) override {}
    void showOff(int, int) override {}
    bool isOn(int) const override { return false; }
    int pictureConnection(int) const override { return -1; }
    void setCaption(int, const MachineInfo&) override {}
    void enableWorkTimers() override {}
    void stopStartupTimer() override {}
    void closeMainWindow() override {}
    void report(const std::string& line) override { lines.push_back(line); }
};

} // namespace dupmon
