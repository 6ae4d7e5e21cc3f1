#pragma once
// The board for a run without windows: each machine picture placed or
// switched off, and each report, becomes one line on standard output.
#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "shell/machine_slots.h"
#include "shell/shell_driver.h"

namespace dupmon {

// The board without windows: one line on standard output per machine event.
class HeadlessBoard final : public BoardView {
public:
    explicit HeadlessBoard(ShellDriver& driver) : driver_(driver) {}
    int placePicture(const MachineInfo& record) override {
        pictures_.push_back({false, -1});
        line("board picture " + std::to_string(pictures_.size() - 1) + " " + name(record));
        return int(pictures_.size()) - 1;
    }
    void showOn(int p, int c) override { set(p, true, c); }
    void showOff(int p, int c) override {
        set(p, false, c);
        line("off picture " + std::to_string(p));
    }
    bool isOn(int p) const override { return valid(p) && pictures_[size_t(p)].on; }
    int pictureConnection(int p) const override {
        return valid(p) ? pictures_[size_t(p)].connection : -1;
    }
    void setCaption(int, const MachineInfo&) override {}
    void enableWorkTimers() override { driver_.enableWorkTimers(); }
    void stopStartupTimer() override { driver_.stopStartupTimer(); }
    void closeMainWindow() override { QCoreApplication::exit(1); }
    void report(const std::string& text) override { line(text); }

    static void line(const std::string& text) {
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }

private:
    struct Picture {
        bool on;
        int connection;
    };
    bool valid(int p) const { return p >= 0 && size_t(p) < pictures_.size(); }
    void set(int p, bool on, int c) {
        if (valid(p))
            pictures_[size_t(p)] = {on, c};
    }
    static std::string name(const MachineInfo& r) {
        return r.nickName[0] ? r.nickName : r.modelName;
    }
    ShellDriver& driver_;
    std::vector<Picture> pictures_;
};

} // namespace dupmon
