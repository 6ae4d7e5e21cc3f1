#pragma once
// The ten machine slots behind the board, the board's view as they see it, and
// the paths of the working folder's files.
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/ui_services.h"
#include "connection/machine.h"
#include "hidlink/device_watcher.h"
#include "hidlink/hid_backend.h"
#include "hidlink/usbhidioc.h"
#include "protocol/machine_activity.h"
#include "shell/system_database.h"

namespace dupmon {

// What the slots need of the machine board: the pictures, the timers, the
// main window. The Qt main window draws pictures; the headless board prints
// one line per event.
class BoardView {
public:
    virtual ~BoardView() = default;
    // Place a picture for the record; returns its index (the count placed before).
    virtual int placePicture(const MachineInfo& record) = 0;
    virtual void showOn(int picture, int connection) = 0;
    virtual void showOff(int picture, int connection) = 0;
    virtual bool isOn(int picture) const = 0;
    virtual int pictureConnection(int picture) const = 0;
    virtual void setCaption(int picture, const MachineInfo& record) = 0;
    // The machine shown by an "on" picture started or ended a job, or waits for its operator.
    virtual void showActivity(int /*picture*/, MachineActivity /*activity*/) {}
    virtual void enableWorkTimers() = 0;
    virtual void stopStartupTimer() = 0;
    virtual void closeMainWindow() = 0;
    // One line about what happened, for unattended runs.
    virtual void report(const std::string& /*line*/) {}
};

struct ShellPaths {
    std::filesystem::path workDir;
    std::filesystem::path databaseDir;  // workDir/DATABASE
    std::filesystem::path registryPath; // databaseDir/BRELLOCK_QX42.DB7
    std::filesystem::path debugDir;     // workDir/DEBUG_SESSION
    std::filesystem::path programFile;  // the running executable, with its picture archive
    static ShellPaths under(const std::filesystem::path& workDir,
                            const std::filesystem::path& programFile);
};

// The ten machine slots behind the board: start-up, discovery, hot-plug,
// attach and detach, the two work timers and the machine events.
class MachineSlots {
public:
    static constexpr int kSlotCount = 10;
    static constexpr uint16_t kVendorId = 0x6C15;

    MachineSlots(HidBackend& backend, DeviceWatcher* watcher, const Clock& clock, UiServices& ui,
                 BoardView& board, ShellPaths paths);
    ~MachineSlots();

    // Windows that later arrive on demand.
    void setWindowFactory(MachineWindowFactory factory);
    using LogViewerOpener = std::function<void(const MachineInfo& entry, const std::string& caption,
                                               const std::filesystem::path& database,
                                               const std::filesystem::path& parameterDir)>;
    void setLogViewerOpener(LogViewerOpener opener) { openLogViewer_ = std::move(opener); }

    // Lets every link that waits for an answer read its input reports.
    void Timer1Timer();
    // Steps every engine that can move now: one with a decision to take, a
    // frame to send, an answer on its link, or a wait or time-out that is over.
    void Timer2Timer();
    void Timer3Timer();
    void onDeviceChange(const DeviceChange& change);
    // Takes every change the watcher has seen.
    void pollWatcher();

    // --- what the event loop waits for ---
    static constexpr uint32_t kNever = UINT32_MAX;
    // Links that have no descriptor are read on Timer1's own period while they
    // wait, and offered their waiting reports on the same period.
    static constexpr uint32_t kLinkPollMs = 10;
    // A descriptor became readable: the watcher takes its changes, the links
    // behind it read their reports, and their engines take the answers and
    // send what comes next at once.
    void onReadable(int fd);
    // Steps the engines until none can move now, so that a decision, its
    // send and the next decision follow each other without waiting.
    void stepDueEngines();
    // Everything that is due by now: the watcher and the links that have no
    // descriptor, and the engines.
    void runDueWork();
    // Milliseconds until runDueWork() has something to do; kNever when only a
    // descriptor can bring work.
    uint32_t msUntilWork() const;
    // The descriptors of the watcher, the sync worker and the links
    // (`known`), and those to watch for reading now (`wanted`): the
    // watcher's, the sync worker's (readable once a sync has ended), those
    // of links whose machine waits for an answer, and the write descriptors
    // of links that hold reports their device has not taken. A link that
    // waits for nothing is not read.
    void descriptors(std::vector<int>& known, std::vector<int>& wanted) const;
    void attach(int slot);
    void detach(int slot);
    // The machine on the slot took no report until its engine's answer time
    // ran out: it is let go as if unplugged, and the board says why.
    void lose(int slot);
    void machineEvent(int connection, int code, int value, const void* data);
    void pictureClick(int picture);
    // Tells the bus what happened to this connection's machine outside the
    // wire ("window-open", "request copy"...), with the machine's device path.
    void noteEvent(int connection, const std::string& what);
    // Close: store every connected machine in the registry, disconnect, release the registry.
    void formClose();
    // Destroy: close every link and clear the slots.
    void formDestroy();

    int startupStep() const { return startupStep_; }
    int slotsInUse() const { return slotsInUse_; }
    CUsbhidioc* link(int slot) const { return slots_[size_t(slot)].link.get(); }
    bool slotEnabled(int slot) const { return slots_[size_t(slot)].enabled; }
    MACHINE& connection(int i) { return *connections_[size_t(i)]; }
    SYSTEM_DATABASE& registry() { return registry_; }
    // The worker of every log store's syncs and of the registry's writes (a
    // benchmark slows its syncs).
    SyncWorker& syncWorker() { return syncWorker_; }
    const ShellPaths& paths() const { return paths_; }

private:
    struct Slot {
        std::unique_ptr<CUsbhidioc> link;
        bool enabled = false;
        // Where the link's notes go (see linkNote).
        MachineSlots* owner = nullptr;
        int index = 0;
        // Notes of the open link, kept until a machine is bound to it.
        std::vector<std::string> notes;
    };
    static void onMachineEvent(void* self, int connection, int code, int index, const void* data);
    void discover();
    void clearSlot(int slot);
    std::unique_ptr<CUsbhidioc> newLink(int slot);
    // What a link notes (its input buffers, reports it dropped) is for the
    // debug file of the machine bound to it; a device it could not open is
    // said on the board.
    static void linkNote(void* slot, const char* text);
    // The slot's engine still waits for an answer after its link handed one up.
    bool engineAwaits(int slot) const;
    // A status block came in: show a change of the machine's activity on its picture.
    void statusPolled(int connection);
    // What the machine's picture shows: its status block's activity, or its silence.
    static MachineActivity shownActivity(const MACHINE& m);
    bool linkWaits(int slot) const;
    // The slot's link holds reports and has no descriptor to say when to offer them.
    bool outputWithoutDescriptor(int slot) const;
    // Offers every link's waiting reports to its device.
    void flushLinks();
    // Lets go of the machines whose engines found their links lost.
    void loseLostMachines();
    // The connection's engine can move on a step now.
    bool engineDue(const MACHINE& m) const;
    bool watcherStarted() const { return watcher_ && startupStep_ >= 3; }

    HidBackend& backend_;
    DeviceWatcher* watcher_;
    const Clock& clock_;
    UiServices& ui_;
    // What the connections and their engines raise waits for the step to return.
    StepUiServices stepUi_;
    BoardView& board_;
    ShellPaths paths_;
    // Declared before the registry and the connections: it outlives them,
    // since each hands it its last work when it closes, and its destructor
    // runs that work before the program ends.
    SyncWorker syncWorker_;
    SYSTEM_DATABASE registry_;
    std::array<std::unique_ptr<MACHINE>, kSlotCount> connections_;
    std::array<Slot, kSlotCount> slots_;
    std::array<MachineActivity, kSlotCount>
        activity_{}; // as last shown on each connection's picture
    int slotsInUse_ = 0;
    int startupStep_ = 0;
    bool inTimer1_ = false, inTimer2_ = false, inTimer3_ = false;
    uint32_t lastLinkPoll_ = 0;
    LogViewerOpener openLogViewer_;
};

} // namespace dupmon
