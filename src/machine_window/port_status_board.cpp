// Following a running machine through the engine's status notifications: the
// status block, port records, job summary, labels and menus, and which ports
// changed.
#include "machine_window/port_status_board.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "machine_window/job_summary.h"
#include "protocol/command_machine.h"

namespace dupmon {

LayoutKind layoutKindOf(const MachineInfo& info) {
    switch (info.machineType) {
    case 1:
        return LayoutKind::Kind1;
    case 2:
        return LayoutKind::Kind2;
    default:
        return LayoutKind::Ordinary;
    }
}

bool controllerActionsAllowed(const MachineInfo& info) {
    const int major = info.controller_version_MAJOR, sub = info.controller_version_SUB,
              minor = info.controller_version_MINOR;
    return major > 2 || (major == 2 && sub > 8) || (major == 2 && sub == 8 && minor >= 8);
}

PortStatusBoard::PortStatusBoard(const MachineInfo& info)
    : info_(info), kind_(layoutKindOf(info)), actionsAllowed_(controllerActionsAllowed(info)) {
    menus_.action = actionsAllowed_;
    menus_.getInfo = actionsAllowed_;
}

int PortStatusBoard::portCount() const {
    const int n = info_.maxDeviceQty;
    return n < 0 ? 0 : (n > kMaxPorts ? kMaxPorts : n);
}

PortStatusBoard::Changes PortStatusBoard::takeChanges() {
    Changes c = changes_;
    changes_ = Changes{};
    return c;
}

RenderContext PortStatusBoard::context() const {
    RenderContext ctx;
    ctx.function = statusCopy_[2];
    ctx.phase = statusCopy_[3];
    ctx.kind2 = kind_ == LayoutKind::Kind2;
    ctx.probeMachine = info_.flag_support_probe_machine == 1;
    return ctx;
}

template <class Fn> void PortStatusBoard::renderRange(int first, int end, Fn fn) {
    const RenderContext ctx = context();
    for (int i = first; i < end; ++i) {
        PortRenderer r(ports_[i], lines_[i], i, ctx);
        fn(r, i);
        changes_.ports.set(size_t(i));
    }
}

void PortStatusBoard::blankAll() {
    renderRange(0, portCount(), [](PortRenderer& r, int) { r.ShowBlank(); });
}

void PortStatusBoard::clearPorts() {
    std::memset(static_cast<void*>(ports_), 0, sizeof ports_);
    blankAll();
}

bool PortStatusBoard::decode(const void* data, int& first, int& end, bool wholeBlockOrNothing) {
    if (data == nullptr)
        return false;
    const auto& block = *static_cast<const PortDataBlock*>(data);
    if (block.firstIndex < 0 || block.count < 0)
        return false;
    const int64_t blockEnd = int64_t(block.firstIndex) + block.count;
    const int limit = portCount();
    if (wholeBlockOrNothing && blockEnd > info_.maxDeviceQty)
        return false;
    // Records beyond the machine's ports (or the 256 held) are never written.
    first = block.firstIndex < limit ? block.firstIndex : limit;
    end = blockEnd < limit ? int(blockEnd) : limit;
    const size_t size = portLayoutSize(block.kind);
    if (size != 0 && block.records != nullptr) {
        for (int i = first; i < end; ++i)
            decodePortLayout(block.kind, block.records + size_t(i - block.firstIndex) * size,
                             ports_[i]);
    }
    return true;
}

void PortStatusBoard::onStatus(int code, const void* data) {
    int first = 0, end = 0;
    switch (code) {
    case STATUS_MACHINE:
        if (data)
            onMachineStatus(static_cast<const uint8_t*>(data));
        break;
    case STATUS_PORT_DATA:
        if (decode(data, first, end, true))
            renderRange(first, end, [](PortRenderer& r, int) { r.renderByFunction(); });
        break;
    case STATUS_DEVICE_INFO: {
        // The function's name is shown afresh before the text is composed.
        const std::string text = dupmon::functionText(statusCopy_);
        if (text != functionText_) {
            functionText_ = text;
            changes_.function = true;
        }
        if (data && deviceInfoReceived)
            deviceInfoReceived(*static_cast<const DeviceInfoBlock*>(data));
        break;
    }
    case STATUS_JOB_SUMMARY:
        if (data)
            onSummary(static_cast<const uint8_t*>(data));
        break;
    case STATUS_CLEAR_PORTS:
        clearPorts();
        break;
    case STATUS_POWER_OFF:
        renderRange(1, portCount(), [](PortRenderer& r, int) { r.RenderWorking(); });
        break;
    case STATUS_SOURCE:
        if (decode(data, first, end, false) && first == 0 && end > 0)
            renderRange(0, 1, [](PortRenderer& r, int) { r.ShowSource(); });
        break;
    case STATUS_TARGETS:
        if (decode(data, first, end, false))
            renderRange(first, end, [](PortRenderer& r, int i) {
                if (i == 0)
                    r.ShowSource();
                else
                    r.RenderTargets();
            });
        break;
    case STATUS_WORKING:
        if (decode(data, first, end, false))
            renderRange(first, end, [](PortRenderer& r, int) { r.RenderWorking(); });
        break;
    case STATUS_OUTCOME:
        if (decode(data, first, end, false)) {
            renderRange(first, end, [](PortRenderer& r, int) { r.RenderOutcome(); });
            // The outcome of one job end comes in several blocks (about eight ports
            // each): the question is asked once, when the last one is drawn.
            const auto& block = *static_cast<const PortDataBlock*>(data);
            const bool last = int64_t(block.firstIndex) + block.count >= info_.maxDeviceQty;
            if (last && info_.flag_feature_bit3 == 1 && continueOrFinishNeeded)
                continueOrFinishNeeded();
        }
        break;
    case STATUS_TEST:
    case STATUS_FORMAT:
    case STATUS_ERASE:
    case STATUS_CHECK:
    case STATUS_ASYNC_COPY:
    case STATUS_SET_PROTECT:
    case STATUS_RELEASE_PROTECT:
    case STATUS_SHOW_PROTECT:
        if (decode(data, first, end, false))
            renderRange(first, end, [code](PortRenderer& r, int) {
                switch (code) {
                case STATUS_TEST:
                    r.RenderTest();
                    break;
                case STATUS_FORMAT:
                    r.RenderFormat();
                    break;
                case STATUS_ERASE:
                    r.RenderErase();
                    break;
                case STATUS_CHECK:
                    r.RenderCheck();
                    break;
                case STATUS_ASYNC_COPY:
                    r.RenderAsyncCopy();
                    break;
                case STATUS_SET_PROTECT:
                    r.RenderSetProtect();
                    break;
                case STATUS_RELEASE_PROTECT:
                    r.RenderReleaseProtect();
                    break;
                default:
                    r.RenderShowProtect();
                    break;
                }
            });
        break;
    default:
        break;
    }
}

void PortStatusBoard::onMachineStatus(const uint8_t* block) {
    // 1. Keep the block and show the function's name.
    std::memcpy(statusCopy_, block, sizeof statusCopy_);
    const std::string text = dupmon::functionText(statusCopy_);
    if (text != functionText_) {
        functionText_ = text;
        changes_.function = true;
    }
    // 2. Latch the job's function; a job starting or ending clears the map.
    const int f = statusCopy_[2];
    if (currentFunction_ == 0 && f != 0) {
        currentFunction_ = f;
        blankAll();
    } else if (currentFunction_ != 0 && f == 0) {
        currentFunction_ = 0;
        blankAll();
    }
    // 3. Probe sensor: releasing it takes a picture of the finished job first.
    if (info_.flag_support_probe_machine_sensor) {
        if (statusCopy_[5] & 0x08) {
            sensorLatched_ = true;
        } else if (sensorLatched_) {
            sensorLatched_ = false;
            if (savePictureRequested)
                savePictureRequested();
            blankAll();
        }
    }
    // The job's pass and fail counts come with every status block of a running
    // job, at the offsets a job summary fills: the labels follow them. In standby
    // they keep the last job's counts.
    if (f != 0 && showJobCounts())
        changes_.labels = true;
    // 4. Menus follow standby.
    MenuState m = menus_;
    if (currentFunction_ == 0 || currentFunction_ == 29) {
        m.machine = true;
        m.logData = true;
        m.action = actionsAllowed_;
        m.getInfo = actionsAllowed_;
    } else {
        m.machine = false;
        m.logData = false;
        m.action = false;
    }
    if (m.machine != menus_.machine || m.logData != menus_.logData || m.action != menus_.action ||
        m.getInfo != menus_.getInfo) {
        menus_ = m;
        changes_.menus = true;
    }
}

void PortStatusBoard::onSummary(const uint8_t* record) {
    if (!applyJobSummary(record, statusCopy_))
        return; // a damaged summary is dropped silently
    if (statusCopy_[2] == 0)
        return;
    showJobCounts();
    changes_.labels = true;
}

bool PortStatusBoard::showJobCounts() {
    const uint32_t pass = readBE32(statusCopy_ + 12);
    const uint32_t fail = readBE32(statusCopy_ + 16);
    JobLabels l = labels_;
    l.pass = format("PASS:  %u PCS", pass);
    l.fail = format("FAIL:  %u PCS", fail);
    l.failureRate = failureRateText(pass, fail);
    l.yield = yieldText(pass, fail);
    const long long total = parseTotal(totalText_);
    if (total >= 1) {
        const long long done = static_cast<long long>(pass) + fail;
        l.remaining = format("(%lld)", total - done);
        l.remainingColour = done < total ? TextColour::Blue : TextColour::Red;
    }
    const bool changed = l.pass != labels_.pass || l.fail != labels_.fail ||
                         l.failureRate != labels_.failureRate || l.yield != labels_.yield ||
                         l.remaining != labels_.remaining ||
                         l.remainingColour != labels_.remainingColour;
    labels_ = std::move(l);
    return changed;
}

} // namespace dupmon
