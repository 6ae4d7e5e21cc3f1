#pragma once
// The download flow over the real engine and link, a stand-in duplicator on
// the virtual bus and the simulated drives, on a manual clock: every pass of
// the flow's loop is one millisecond of the program's cadence.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "master_usb/download_flow.h"
#include "shell/shell_test_files.h"
#include "sim/simulated_drives.h"
#include "sim/stand_in.h"
#include "support/engine_harness.h"

namespace dupmon {

struct RecordingView final : DownloadView {
    std::vector<std::string> memo;
    bool controlsEnabled = true;
    int progressShown = 0;
    int progressClosed = 0;
    int timerStops = 0;
    bool windowClosed = false;
    void clearMemo() override { memo.clear(); }
    void addMemoLine(const std::string& line) override { memo.push_back(line); }
    void setControlsEnabled(bool on) override { controlsEnabled = on; }
    void stopProgressTimer() override { ++timerStops; }
    void showProgress() override { ++progressShown; }
    void closeProgress() override { ++progressClosed; }
    void closeWindow() override { windowClosed = true; }
    // Memo lines without their "hh:mm:ss " time.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& l : memo)
            out.push_back(l.size() > 9 && l[2] == ':' && l[5] == ':' && l[8] == ' ' ? l.substr(9)
                                                                                    : l);
        return out;
    }
    bool has(const std::string& text) const {
        const auto t = texts();
        return std::find(t.begin(), t.end(), text) != t.end();
    }
};

struct FlowRig {
    shelltest::TempDir tmp;
    EngineHarness h;
    std::shared_ptr<StandInController> standIn;
    SimulatedDrives drives{tmp / "drives"};
    RecordingView view;
    std::vector<std::string> debug;
    std::unique_ptr<DownloadFlow> flow;
    // Runs on every pass of the flow's loop, after the engine step.
    std::function<void()> eachPass;

    explicit FlowRig(bool registerMaster = true, uint32_t masterMiB = 7450) {
        standIn = StandInController::create("usb10", h.clock);
        if (masterMiB != 7450)
            standIn->machine().insertMedium(0, standIn->machine().defaultMedium(0, masterMiB));
        h.plug(standIn);
        h.runUntil([&] { return h.identified(); }, 20000);
        h.run(500);
        if (registerMaster)
            drives.addMachine(standIn);
        h.ui.onProcessEvents = [this] {
            h.run(1);
            if (eachPass)
                eachPass();
        };
        std::filesystem::create_directories(tmp / "work");
        flow = std::make_unique<DownloadFlow>(drives, h.ui, h.clock, tmp / "work");
        flow->setJobsInline(true);
        flow->setView(&view);
        flow->setMachine(&h.requests, [this](const std::string& l) { debug.push_back(l); });
        flow->create();
        source("src");
    }
    // A source folder holding one small file (the flow refuses an empty one).
    std::string source(const std::string& name) {
        const std::string dir = tmp / "" + name;
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/seed.txt", std::ios::binary) << "seed file\n";
        flow->parameters().sourceDirectory = dir;
        return dir;
    }
    void go(int job, int format, const std::string& label = "") {
        flow->parameters().job = job;
        flow->parameters().format = format;
        flow->parameters().label = label;
        h.ui.messages.clear();
        standIn->clearHistory();
        flow->go();
        h.run(2000); // the requests posted at the end are served
    }
    std::string volume() const {
        return drives.volumeFolder(SimulatedDrives::masterDriveName(*standIn)).string();
    }
    bool sent(char letter, int sub) const { return !standIn->commands(letter, sub).empty(); }
    bool message(const std::string& text, const std::string& caption) const {
        for (const auto& m : h.ui.messages)
            if (m.text == text && m.caption == caption)
                return true;
        return false;
    }
    bool logged(const std::string& part) const {
        for (const auto& l : debug)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> callsStartingWith(const std::string& verb) const {
        std::vector<std::string> out;
        for (const auto& c : drives.calls())
            if (c.rfind(verb, 0) == 0)
                out.push_back(c);
        return out;
    }
};

} // namespace dupmon
