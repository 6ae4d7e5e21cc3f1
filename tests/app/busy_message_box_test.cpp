// A message box raised by one machine's event waits for the operator; the
// other machines go on syncing underneath it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>

#include "app/qt_ui_services.h"
#include "common/result_codes.h"
#include "logdb/log_database.h"
#include "registry/system_database.h"
#include "shell/main_window.h"
#include "sim/sim_profiles.h"
#include "sim/stand_in.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

// fontconfig keeps its cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

uint64_t storedRecords(const fs::path& database) {
    std::error_code ec;
    const uint64_t size = fs::file_size(database, ec);
    return ec || size < kLogHeaderSize ? 0 : (size - kLogHeaderSize) / kLogRecordSize;
}

} // namespace

TEST(BusyMessageBox, MachinesKeepSyncingWhileTheFullRegistryMessageIsOpen) {
    static int argc = 1;
    static char name[] = "busy_message_box_test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance())
        new QApplication(argc, argv);
    const dupmon::test::TempDir tmp("dupmon-busy-box");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "DATABASE");

    // Every registry entry is taken; two of those machines are attached, with
    // long job logs, and one more that the registry cannot take.
    {
        SYSTEM_DATABASE registry;
        ASSERT_EQ(registry.create((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string()), PASS);
        for (int i = 0; i < SYSTEM_DATABASE::entryCount(); ++i) {
            MachineInfo m{};
            std::snprintf(m.machineId, sizeof m.machineId, "REG-%d", i);
            std::snprintf(m.modelName, sizeof m.modelName, "SIM USB Tower 10");
            m.deviceType = 2;
            m.maxDeviceQty = 10;
            int position = -1;
            ASSERT_TRUE(registry.addMachine(m, &position));
        }
        registry.release();
    }
    const Clock& clock = SystemClock::instance();
    VirtualBus bus(clock);
    for (const char* id : {"REG-0", "REG-1", "NEW-10"}) {
        auto m = std::make_shared<StandInController>(*findSimProfile("usb10"), clock, id);
        m->machine().preloadLog(5000);
        bus.plug(m, 0x6C15, m->profile().productId);
    }
    bus.poll();
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] { bus.pump(); });
    pump.start(1);

    QtUiServices ui(false);
    TForm1 form(bus, &bus, clock, ui, dir, dir / "no-program");
    form.show();

    const fs::path databases[] = {dir / "DATABASE" / "REG-0.QX42.LOGDATA",
                                  dir / "DATABASE" / "REG-1.QX42.LOGDATA"};
    auto stored = [&] { return storedRecords(databases[0]) + storedRecords(databases[1]); };
    QString text, caption;
    uint64_t atOpen = 0, beforeOk = 0;
    bool answered = false;
    QElapsedTimer open;
    QTimer operatorLooks;
    QObject::connect(&operatorLooks, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || answered)
            return;
        if (!open.isValid()) {
            open.start();
            text = box->text();
            caption = box->windowTitle();
            atOpen = stored();
            return;
        }
        // The operator reads for a while before answering.
        if (open.elapsed() < 1500)
            return;
        beforeOk = stored();
        answered = true;
        box->button(QMessageBox::Ok)->click();
    });
    operatorLooks.start(20);

    QElapsedTimer t;
    t.start();
    while (!answered && t.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(answered) << "no message box came";
    EXPECT_EQ(text.toStdString().rfind("Can't add machine !", 0), 0u) << text.toStdString();
    EXPECT_EQ(caption.toStdString(), "Message");
    EXPECT_GE(beforeOk, atOpen + 50)
        << "records stored while the box was open: " << beforeOk - atOpen;
    // And the machines still sync once it is closed.
    while (stored() < beforeOk + 50 && t.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_GE(stored(), beforeOk + 50);
    form.close();
}
