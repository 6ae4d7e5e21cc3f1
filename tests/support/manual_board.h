#pragma once
// The program's main window over stand-in machines on a manual clock, for
// widget tests: start-up run, then `run(ms)` moves the clock and does what
// the timers would.
#include <QCoreApplication>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"
#include "support/test_ui.h"

namespace dupmon {

struct ManualBoard {
    ManualClock clock;
    VirtualBus bus{clock};
    TestUi ui;
    std::vector<std::shared_ptr<StandInController>> machines;
    std::unique_ptr<TForm1> form;

    // `prepare` sees each stand-in before it is plugged in; `programFile`
    // carries the machine pictures when it is the test program itself.
    ManualBoard(const std::filesystem::path& dir, const std::vector<std::string>& profiles,
                std::filesystem::path programFile = {},
                const std::function<void(StandInController&)>& prepare = {}) {
        for (const std::string& p : profiles) {
            machines.push_back(StandInController::create(p, clock));
            if (prepare)
                prepare(*machines.back());
            bus.plug(machines.back(), 0x6C15, machines.back()->profile().productId);
        }
        if (programFile.empty())
            programFile = dir / "no-program";
        form = std::make_unique<TForm1>(bus, &bus, clock, ui, dir, programFile);
        form->show();
        for (int i = 0; i < 4; ++i)
            form->machineSlots().Timer3Timer();
        run(5000);
    }
    void run(int ms) {
        MachineSlots& board = form->machineSlots();
        for (int t = 0; t < ms; ++t) {
            clock.advance(1);
            bus.pump();
            board.pollWatcher();
            board.Timer1Timer();
            board.Timer2Timer();
            // What the windows queued for the event loop (a question, a box).
            if (clock.tickMs() % 10 == 0)
                QCoreApplication::processEvents();
        }
    }
    // The machine window of the machine behind a picture, opened as a click does.
    TFormMachine* openWindow(int picture) {
        form->machineSlots().pictureClick(picture);
        MACHINE& m = form->machineSlots().connection(form->picture(picture).connection());
        auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
        return adapter ? adapter->window() : nullptr;
    }
};

} // namespace dupmon
