// The board's machine slots: start-up from the registry, discovery and
// hot-plug of controllers, attaching and detaching their connections, and the
// work timers that step them.
#include "shell/machine_slots.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "common/byte_order.h"
#include "common/text.h"
#include "common/version.h"
#include "logdb/log_database.h"
#include "protocol/checksum.h"

namespace dupmon {

ShellPaths ShellPaths::under(const std::filesystem::path& workDir,
                             const std::filesystem::path& programFile) {
    ShellPaths p;
    p.workDir = workDir;
    p.databaseDir = workDir / "DATABASE";
    p.registryPath = p.databaseDir / "BRELLOCK_QX42.DB7";
    p.debugDir = workDir / "DEBUG_SESSION";
    p.programFile = programFile;
    return p;
}

MachineSlots::MachineSlots(HidBackend& backend, DeviceWatcher* watcher, const Clock& clock,
                           UiServices& ui, BoardView& board, ShellPaths paths)
    : backend_(backend), watcher_(watcher), clock_(clock), ui_(ui), stepUi_(ui), board_(board),
      paths_(std::move(paths)) {
    registry_.setWorker(&syncWorker_);
    for (int i = 0; i < kSlotCount; ++i) {
        auto& c = connections_[size_t(i)];
        c = std::make_unique<MACHINE>(clock_, stepUi_);
        c->setWorkingDirectory(paths_.workDir);
        c->setSyncWorker(&syncWorker_);
        c->setStatusHook([this, i](int code) {
            if (code == STATUS_MACHINE || code == STATUS_SILENCE)
                statusPolled(i);
        });
    }
}

MachineSlots::~MachineSlots() {
    formDestroy();
}

void MachineSlots::setWindowFactory(MachineWindowFactory factory) {
    for (auto& c : connections_)
        c->setWindowFactory(factory);
}

void MachineSlots::Timer3Timer() {
    if (inTimer3_)
        return;
    inTimer3_ = true;
    switch (startupStep_) {
    case 0: {
        int result = registry_.open(paths_.registryPath.string());
        registry_.pictures().loadPictures(paths_.programFile.string(), paths_.workDir.string());
        if (result == DATABASE_NOT_EXIST)
            result = registry_.create(paths_.registryPath.string());
        if (result != PASS) {
            ui_.messageBox(registry_.failureText(result, paths_.registryPath.string()), "Message");
            board_.stopStartupTimer();
            board_.closeMainWindow();
            startupStep_ = -1;
            break;
        }
        if (!registry_.repairNote().empty())
            ui_.messageBox(registry_.repairNote(), "Message");
        for (int i = 0; i < SYSTEM_DATABASE::entryCount(); ++i)
            if (registry_.isInUse(i))
                board_.placePicture(registry_.entry(i));
        startupStep_ = 1;
        break;
    }
    case 1:
        board_.enableWorkTimers();
        startupStep_ = 2;
        break;
    case 2:
        discover();
        startupStep_ = 3;
        break;
    case 3:
        board_.stopStartupTimer();
        startupStep_ = 4;
        break;
    default:
        break;
    }
    inTimer3_ = false;
}

void MachineSlots::discover() {
    if (watcher_)
        watcher_->start();
    slotsInUse_ = 0;
    for (uint16_t pid : CUsbhidioc::kProductIds) {
        backend_.memberIndex = 0;
        while (slotsInUse_ < kSlotCount) {
            Slot& s = slots_[size_t(slotsInUse_)];
            if (s.link) { // never replace a link a connection still uses
                detach(slotsInUse_);
                clearSlot(slotsInUse_);
            }
            s.link = newLink(slotsInUse_);
            if (!s.link->openFirstMatching(kVendorId, pid)) {
                s.link.reset();
                break;
            }
            attach(slotsInUse_);
            ++slotsInUse_;
        }
        if (slotsInUse_ >= kSlotCount)
            return;
    }
}

std::unique_ptr<CUsbhidioc> MachineSlots::newLink(int slot) {
    auto link = std::make_unique<CUsbhidioc>(backend_);
    Slot& s = slots_[size_t(slot)];
    s.owner = this;
    s.index = slot;
    s.notes.clear();
    link->setLog(&MachineSlots::linkNote, &s);
    return link;
}

void MachineSlots::linkNote(void* slot, const char* text) {
    Slot& s = *static_cast<Slot*>(slot);
    for (auto& c : s.owner->connections_) {
        if (c->connected() && c->slot() == s.index) {
            c->log(text);
            return;
        }
    }
    if (s.link && s.link->isOpen()) {
        if (s.notes.size() < 16)
            s.notes.emplace_back(text);
        return;
    }
    s.owner->board_.report(text);
}

void MachineSlots::pollWatcher() {
    // Changes count from discovery on: the enumeration finds what came before.
    if (!watcher_ || startupStep_ < 3)
        return;
    for (const DeviceChange& change : watcher_->poll())
        onDeviceChange(change);
}

void MachineSlots::onDeviceChange(const DeviceChange& change) {
    if (change.kind == DeviceChange::Arrival) {
        int l = 0;
        while (l < kSlotCount && l < slotsInUse_ && slots_[size_t(l)].link)
            ++l;
        if (l >= kSlotCount)
            return;
        // The same device announced twice must not be opened twice.
        for (int j = 0; j < slotsInUse_; ++j)
            if (slots_[size_t(j)].link &&
                strcasecmp(slots_[size_t(j)].link->devicePath(), change.name.c_str()) == 0)
                return;
        Slot& s = slots_[size_t(l)];
        s.link = newLink(l);
        for (uint16_t pid : CUsbhidioc::kProductIds) {
            if (s.link->openByPath(change.name, kVendorId, pid)) {
                attach(l);
                if (l == slotsInUse_)
                    ++slotsInUse_;
                return;
            }
        }
        s.enabled = false;
        s.link.reset();
        return;
    }
    for (int j = 0; j < slotsInUse_; ++j) {
        Slot& s = slots_[size_t(j)];
        if (!s.link || strcasecmp(s.link->devicePath(), change.name.c_str()) != 0)
            continue;
        detach(j);
        board_.report(format("detached slot %d %s", j, change.name.c_str()));
        clearSlot(j);
        return;
    }
}

void MachineSlots::clearSlot(int slot) {
    Slot& s = slots_[size_t(slot)];
    s.enabled = false;
    if (s.link)
        s.link->close();
    s.link.reset();
}

void MachineSlots::attach(int slot) {
    Slot& s = slots_[size_t(slot)];
    const uint8_t r = 'R';
    s.link->sendRawReport(1, &r);
    s.enabled = true;
    for (int c = 0; c < kSlotCount; ++c) {
        MACHINE& m = *connections_[size_t(c)];
        if (m.connected())
            continue;
        m.connect(&CUsbhidioc::takeFrameCallback, s.link.get(), &CUsbhidioc::sendFrameCallback,
                  s.link.get(), &MachineSlots::onMachineEvent, this, paths_.debugDir,
                  paths_.databaseDir, slot, c);
        for (const std::string& note : s.notes)
            m.log(note.c_str());
        s.notes.clear();
        board_.report(format("attached slot %d connection %d %s", slot, c, s.link->devicePath()));
        return;
    }
    board_.report(format("attached slot %d %s: no free connection, left unbound", slot,
                         s.link->devicePath()));
}

void MachineSlots::lose(int slot) {
    Slot& s = slots_[size_t(slot)];
    board_.report(format("lost slot %d %s: the machine took no report for %u s", slot,
                         s.link ? s.link->devicePath() : "",
                         FrameChannel::kAnswerTimeOutMs / 1000));
    detach(slot);
    clearSlot(slot);
}

void MachineSlots::loseLostMachines() {
    for (const auto& c : connections_)
        if (c->connected() && c->engine().linkLost() && c->slot() >= 0 && c->slot() < kSlotCount)
            lose(c->slot());
}

void MachineSlots::flushLinks() {
    for (int j = 0; j < slotsInUse_; ++j)
        if (CUsbhidioc* link = slots_[size_t(j)].link.get(); link && link->outputWaiting())
            link->flushOutput();
}

void MachineSlots::detach(int slot) {
    slots_[size_t(slot)].enabled = false;
    for (auto& c : connections_) {
        if (c->connected() && c->slot() == slot) {
            c->disconnect();
            return;
        }
    }
}

bool MachineSlots::engineAwaits(int slot) const {
    for (const auto& c : connections_)
        if (c->connected() && c->slot() == slot)
            return c->engine().awaitingAnswer();
    return false;
}

void MachineSlots::statusPolled(int c) {
    MACHINE& m = *connections_[size_t(c)];
    const MachineActivity now = shownActivity(m);
    if (now == activity_[size_t(c)])
        return;
    activity_[size_t(c)] = now;
    if (m.pictureIndex() != -1 && board_.isOn(m.pictureIndex()) &&
        board_.pictureConnection(m.pictureIndex()) == c)
        board_.showActivity(m.pictureIndex(), now);
}

MachineActivity MachineSlots::shownActivity(const MACHINE& m) {
    const MachineStatus& s = m.engine().status();
    return m.engine().silent() ? MachineActivity::Silent
                               : machineActivity(s.machineState, s.machineSubState);
}

bool MachineSlots::linkWaits(int slot) const {
    const Slot& s = slots_[size_t(slot)];
    return s.link && s.enabled && (s.link->awaitingReply() || engineAwaits(slot));
}

bool MachineSlots::outputWithoutDescriptor(int slot) const {
    const CUsbhidioc* link = slots_[size_t(slot)].link.get();
    return link && link->outputWaiting() && link->writeFd() < 0;
}

void MachineSlots::Timer1Timer() {
    if (inTimer1_)
        return;
    inTimer1_ = true;
    lastLinkPoll_ = clock_.tickMs();
    flushLinks();
    for (int j = 0; j < slotsInUse_; ++j)
        if (linkWaits(j))
            slots_[size_t(j)].link->pollInput();
    inTimer1_ = false;
}

bool MachineSlots::engineDue(const MACHINE& m) const {
    const COMMAND_MACHINE& e = m.engine();
    if (m.msUntilDue() == 0)
        return true;
    if (!e.awaitingAnswer() || m.slot() < 0 || m.slot() >= kSlotCount)
        return false;
    const CUsbhidioc* link = slots_[size_t(m.slot())].link.get();
    return link && (link->frameReady() || link->inputQueued());
}

void MachineSlots::Timer2Timer() {
    if (inTimer2_)
        return;
    inTimer2_ = true;
    for (auto& c : connections_) {
        if (!c->connected() || !engineDue(*c))
            continue;
        // Reports the link already holds complete the answer without a new event.
        if (CUsbhidioc* link = slots_[size_t(c->slot())].link.get();
            link && !link->frameReady() && link->inputQueued())
            link->pollInput();
        c->step();
    }
    loseLostMachines();
    inTimer2_ = false;
}

void MachineSlots::stepDueEngines() {
    // A few rounds take an answer, decide and send; more is left to the next turn of the loop.
    for (int round = 0; round < 16; ++round) {
        bool due = false;
        for (const auto& c : connections_)
            due = due || (c->connected() && engineDue(*c));
        if (!due || inTimer2_)
            return;
        Timer2Timer();
    }
}

void MachineSlots::onReadable(int fd) {
    if (fd < 0)
        return;
    if (watcherStarted() && watcher_->fd() == fd)
        pollWatcher();
    // A sync has ended: its machine takes the outcome at its next step.
    if (fd == syncWorker_.wakeFd())
        syncWorker_.takeWakeups();
    // A device that took a report may take the next one (its write
    // descriptor, or a simulator's acknowledgement on its socket).
    flushLinks();
    for (int j = 0; j < slotsInUse_; ++j)
        if (linkWaits(j) && slots_[size_t(j)].link->fd() == fd)
            slots_[size_t(j)].link->pollInput();
    stepDueEngines();
}

void MachineSlots::runDueWork() {
    bool linkWithoutDescriptor = false;
    for (int j = 0; j < slotsInUse_; ++j)
        linkWithoutDescriptor = linkWithoutDescriptor || outputWithoutDescriptor(j) ||
                                (linkWaits(j) && slots_[size_t(j)].link->fd() < 0);
    if (linkWithoutDescriptor && clock_.tickMs() - lastLinkPoll_ >= kLinkPollMs)
        Timer1Timer();
    if (watcherStarted() && watcher_->fd() < 0 && watcher_->msUntilPoll() == 0)
        pollWatcher();
    stepDueEngines();
}

uint32_t MachineSlots::msUntilWork() const {
    uint32_t wait = kNever;
    for (const auto& c : connections_)
        if (c->connected())
            wait = std::min(wait, engineDue(*c) ? 0 : c->msUntilDue());
    for (int j = 0; j < slotsInUse_; ++j) {
        if (outputWithoutDescriptor(j) || (linkWaits(j) && slots_[size_t(j)].link->fd() < 0)) {
            const uint32_t since = clock_.tickMs() - lastLinkPoll_;
            wait = std::min(wait, since >= kLinkPollMs ? 0 : kLinkPollMs - since);
            break;
        }
    }
    if (watcherStarted() && watcher_->fd() < 0)
        wait = std::min(wait, watcher_->msUntilPoll());
    return wait;
}

void MachineSlots::descriptors(std::vector<int>& known, std::vector<int>& wanted) const {
    known.clear();
    wanted.clear();
    auto add = [](std::vector<int>& v, int fd) {
        if (fd >= 0 && std::find(v.begin(), v.end(), fd) == v.end())
            v.push_back(fd);
    };
    if (watcherStarted()) {
        add(known, watcher_->fd());
        add(wanted, watcher_->fd());
    }
    add(known, syncWorker_.wakeFd());
    add(wanted, syncWorker_.wakeFd());
    for (int j = 0; j < slotsInUse_; ++j) {
        const CUsbhidioc* link = slots_[size_t(j)].link.get();
        if (!link)
            continue;
        add(known, link->fd());
        // A device that is gone stays readable (end of file) until its removal is
        // taken: watching it would wake the program for nothing.
        if (linkWaits(j) && !link->deviceGone())
            add(wanted, link->fd());
        add(known, link->writeFd());
        if (link->outputWaiting())
            add(wanted, link->writeFd());
    }
}

void MachineSlots::onMachineEvent(void* self, int connection, int code, int index,
                                  const void* data) {
    static_cast<MachineSlots*>(self)->machineEvent(connection, code, index, data);
}

void MachineSlots::machineEvent(int c, int code, int /*value*/, const void* data) {
    if (c < 0 || c >= kSlotCount)
        return;
    MACHINE& m = *connections_[size_t(c)];
    switch (code) {
    case EVENT_IDENTIFIED: {
        MachineInfo& record = m.info();
        int picture = -1;
        int position = 0;
        if (registry_.findMachine(record, &position)) {
            registry_.updateMachine(position, record);
            picture = position;
            board_.setCaption(picture, record);
        } else if (!registry_.addMachine(record, &position)) {
            // Which machine, and why: the registry keeps a fixed number of machines.
            stepUi_.messageBox(
                format("Can't add machine !\n\nMachine id: %s (%s)\nThe machine list "
                       "holds at most %d machines and all %d entries are taken; this "
                       "machine stays connected without a picture on the board.",
                       std::string(fieldText(record.machineId, sizeof record.machineId)).c_str(),
                       std::string(fieldText(record.modelName, sizeof record.modelName)).c_str(),
                       SYSTEM_DATABASE::entryCount(), SYSTEM_DATABASE::entryCount()),
                "Message");
            board_.report(format("identified %s id %s ports %d: no free registry entry",
                                 record.modelName, record.machineId, record.maxDeviceQty));
            return;
        } else {
            picture = board_.placePicture(record);
        }
        m.setPictureIndex(picture);
        board_.report(format("identified connection %d model %s id %s ports %d", c,
                             record.modelName, record.machineId, record.maxDeviceQty));
        break;
    }
    case EVENT_CLOCK_SET:
    case EVENT_CLOCK_NOT_SET: // ready all the same: its clock is only not the PC's
        if (m.pictureIndex() != -1) {
            board_.showOn(m.pictureIndex(), c);
            activity_[size_t(c)] = shownActivity(m);
            board_.showActivity(m.pictureIndex(), activity_[size_t(c)]);
            board_.report(format("on connection %d id %s", c, m.info().machineId));
        }
        break;
    case EVENT_DISCONNECTED:
        if (m.pictureIndex() != -1)
            board_.showOff(m.pictureIndex(), c);
        break;
    case EVENT_IMAGE_BANK_BLOCK: {
        const auto* b = static_cast<const uint8_t*>(data);
        if (b[3] != 0)
            break;
        // The block the engine hands over is 256 bytes: a CRC must end inside it.
        const int L = b[1] * 256 + b[2] - 1;
        if (L < 0 || L > 252)
            break;
        if (crc32(b, size_t(L)) == readBE32(b + L))
            m.onImageBankBlock(b);
        break;
    }
    case EVENT_IMAGE_BANK_TABLE:
        if (static_cast<const uint8_t*>(data)[3] == 0)
            m.onImageBankTable(static_cast<const uint8_t*>(data));
        break;
    default:
        break;
    }
}

void MachineSlots::pictureClick(int k) {
    if (k < 0 || k >= kSlotCount)
        return;
    if (board_.isOn(k)) {
        const int c = board_.pictureConnection(k);
        if (c >= 0 && c < kSlotCount) {
            connections_[size_t(c)]->showMachineWindow(
                format("%s (%s version:%s)", kProgramName, kModelString, kProgramVersion));
            noteEvent(c, "window-open");
        }
        return;
    }
    if (k >= SYSTEM_DATABASE::entryCount())
        return;
    const MachineInfo entry = registry_.entryAt(k);
    if (entry.support_LogRecord != 1 || !openLogViewer_)
        return;
    const char* name = entry.nickName[0] ? entry.nickName : entry.modelName;
    openLogViewer_(entry, format("%s(%s)", name, entry.version),
                   logDatabasePath(paths_.databaseDir, entry), paths_.databaseDir);
}

void MachineSlots::noteEvent(int c, const std::string& what) {
    if (c < 0 || c >= kSlotCount || !connections_[size_t(c)]->connected())
        return;
    const int slot = connections_[size_t(c)]->slot();
    if (slot < 0 || slot >= kSlotCount || !slots_[size_t(slot)].link)
        return;
    backend_.noteEvent(what + " " + slots_[size_t(slot)].link->devicePath());
}

void MachineSlots::formClose() {
    for (auto& c : connections_) {
        if (!c->connected())
            continue;
        if (c->pictureIndex() != -1)
            registry_.updateMachine(c->pictureIndex(), c->info());
        c->disconnect();
    }
    registry_.release();
}

void MachineSlots::formDestroy() {
    for (int j = 0; j < kSlotCount; ++j)
        clearSlot(j);
}

} // namespace dupmon
