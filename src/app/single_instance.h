#pragma once
// One monitor per working folder and bus: a later start either brings the
// running monitor's window to the front or is refused.
#include <QLocalServer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/instance_lock.h"

namespace dupmon {

// The single-instance rule at start (see instance_lock.h). A start that finds
// what it needs held by another monitor either hands over to it (a desktop
// start whose holder has a window: the holder comes to the front) or is
// refused. A monitor that runs answers later starts on its socket: "activate"
// brings its window to the front ("front"), or says it has none ("headless").
class SingleInstance {
public:
    enum class Outcome { Running, HandedOver, Refused, Failed };

    // `description` says, in words, what this monitor is (it is written into its
    // lock files and shown to a later start). `message` says what happened,
    // for every outcome but a plain Running, where it may carry a warning.
    Outcome start(const std::vector<InstanceClaim>& claims, const std::string& description,
                  bool desktop, std::string& message);
    // What "activate" does in a running desktop program.
    void setActivate(std::function<void()> activate) { activate_ = std::move(activate); }

private:
    void serve(const std::filesystem::path& dir, std::string& message);

    InstanceLock lock_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> activate_;
};

// Asks the monitor with this pid, whose socket is in `dir`, to come to the
// front; true when it answered that it did.
bool askToComeToFront(const std::filesystem::path& dir, long pid);

} // namespace dupmon
