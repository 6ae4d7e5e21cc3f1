// The download flow against a running dupmon-sim, as duplicator-monitor
// --simulator runs it: the engine and its link over the simulator's socket,
// the machine's master stick among the simulated drives through the
// simulator's "masters" request.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "flow_support.h"
#include "hidlink/usbhidioc.h"
#include "sim/sim_client.h"
#include "support/child_process.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::writeFile;
namespace fs = std::filesystem;

namespace {

// The program's clock with the flow's waits forty times shorter: its
// ten-second settle costs a quarter of a second here.
class QuickWaitClock final : public Clock {
public:
    uint32_t tickMs() const override { return SystemClock::instance().tickMs() * 40; }
    LocalTime localTime() const override { return SystemClock::instance().localTime(); }
};

} // namespace

TEST(SimulatorDownload, TheMasterOfADupmonSimMachineIsRefilled) {
    shelltest::TempDir tmp;
    const std::string socket = tmp / "sim.sock";
    Child sim({DUPMON_SIM_BINARY, "--socket", socket, "--plug", "usb10,id=SIMDL"});
    SimClientBackend client(socket);
    for (int i = 0; i < 100 && !client.connect(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(client.connected());
    const auto paths = client.enumerate();
    ASSERT_EQ(paths.size(), 1u);

    // The monitor's side: link, engine and drives, stepped as the program does.
    const Clock& clock = SystemClock::instance();
    CUsbhidioc link(client);
    ASSERT_TRUE(link.openByPath(paths[0], CUsbhidioc::kVendorId, 0x2001));
    MachineInfo info{};
    TestUi ui;
    COMMAND_MACHINE engine(&info, clock, ui);
    CommandMachineRequests requests(engine);
    bool identified = false;
    engine.bind(
        &CUsbhidioc::takeFrameCallback, &link, &CUsbhidioc::sendFrameCallback, &link,
        [](void*, const char*) {}, nullptr, [](void*, int, const void*) {}, nullptr,
        [](void* u, int code, int, const void*) {
            if (code == EVENT_IDENTIFIED)
                *static_cast<bool*>(u) = true;
        },
        &identified);
    ui.onProcessEvents = [&] {
        pollfd p{client.fd(), POLLIN, 0};
        ::poll(&p, 1, 1);
        if (link.awaitingReply() || engine.awaitingAnswer())
            link.pollInput();
        engine.step();
    };
    for (int i = 0; i < 20000 && !identified; ++i)
        ui.processEvents();
    ASSERT_TRUE(identified);

    SimulatedDrives drives(tmp / "drives");
    drives.setRemoteMasters(simulatorMasters(socket));
    const std::string name = SimulatedDrives::masterDriveName("SIMDL");
    EXPECT_EQ(client.control("master SIMDL format-ms=200"), "ok");

    QuickWaitClock quick;
    fs::create_directories(tmp / "work");
    DownloadFlow flow(drives, ui, quick, tmp / "work");
    RecordingView view;
    flow.setView(&view);
    flow.setMachine(&requests, nullptr);
    ASSERT_TRUE(flow.create());
    fs::create_directories(tmp / "src/docs");
    writeFile(tmp / "src/docs/manual.txt", std::vector<uint8_t>(4096, 'm'));
    writeFile(tmp / "src/image.bin", std::vector<uint8_t>(300000, 0x5A));
    flow.parameters().sourceDirectory = tmp / "src";
    flow.parameters().job = 1;
    flow.parameters().format = 2;
    // While the stick is at the PC, dupmon-sim says so, with its format time.
    bool seenAtPc = false;
    const auto masters = simulatorMasters(socket);
    auto step = ui.onProcessEvents;
    ui.onProcessEvents = [&] {
        step();
        if (!seenAtPc && flow.state() == DownloadFlow::S_SETTLE_WAIT)
            for (const auto& m : masters())
                seenAtPc |=
                    m.machineId == "SIMDL" && m.atPc && m.formatMs == 200 && m.capacityMiB > 0;
    };
    flow.go();

    EXPECT_EQ(flow.result(), 0) << (view.memo.empty() ? "" : view.memo.back());
    EXPECT_TRUE(view.has("Finish !"));
    EXPECT_TRUE(seenAtPc);
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_NE(ui.questions[0].text.find("DUPMON Simulated Stick"), std::string::npos);
    const fs::path volume = drives.volumeFolder(name);
    EXPECT_EQ(readFile((volume / "image.bin").string()), std::vector<uint8_t>(300000, 0x5A));
    EXPECT_EQ(readFile((volume / "docs/manual.txt").string()), std::vector<uint8_t>(4096, 'm'));
    // The machine has its master back.
    for (int i = 0; i < 2000; ++i)
        ui.processEvents();
    bool back = false;
    for (const auto& m : masters())
        back |= m.machineId == "SIMDL" && !m.atPc;
    EXPECT_TRUE(back);
}
