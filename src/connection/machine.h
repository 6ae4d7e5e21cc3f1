#pragma once
// One machine slot's connection (MACHINE): the protocol engine bound to the
// slot's HID link, and what it needs of the machine window; also the image
// bank block's layout.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/ui_services.h"
#include "logdb/log_store.h"
#include "protocol/command_machine.h"
#include "protocol/machine_info.h"

namespace dupmon {

// What the connection needs of a machine window; the Qt window implements it.
class MachineWindowView {
public:
    virtual ~MachineWindowView() = default;
    virtual void onStatus(int code, const void* data) = 0;
    virtual void setLogNumber(int number) = 0;
    virtual void showImageBankInfo(const uint8_t* block256) = 0;
    // A stored record, for the log viewer when one is open.
    virtual void addLogRecord(const uint8_t* record128) = 0;
    virtual void showWindow() = 0;
    // The image bank's table: one byte per image place, non-zero where an
    // image is stored; `count` places (at most 1000).
    virtual void showImageBankTable(const uint8_t* /*table*/, uint32_t /*count*/) {}
};

class MACHINE;
using MachineWindowFactory =
    std::function<std::unique_ptr<MachineWindowView>(MACHINE& machine, const std::string& title)>;
// The main window's machine event handler: (main window, connection index, code, index, data).
using MachineEventFn = void (*)(void* mainWindow, int connection, int code, int index,
                                const void* data);

// Image bank block (the Y 3 answer), numbers big-endian on the wire:
//   0   4  answer header        68  16  version          92  4  byteQty_per_hddSector
//   4  64  identifySymbol       84   8  dw_hddTotalSectorQty
//  96   4  max_image_qty       100   4  max_dataBank_qty 104  4  SectorQty_per_dataBank
// 108   4  free_image_qty      112   4  free_dataBank_qty
// 252   4  CRC-32 of bytes 0..251
struct ImageBankInfo {
    char identifySymbol[65];
    char version[17];
    uint64_t dw_hddTotalSectorQty;
    uint32_t byteQty_per_hddSector;
    uint32_t max_image_qty;
    uint32_t max_dataBank_qty;
    uint32_t SectorQty_per_dataBank;
    uint32_t free_image_qty;
    uint32_t free_dataBank_qty;
};

// One machine slot's connection: binds the protocol engine to the slot's HID
// link and turns the engine's callbacks into message-log lines, the monthly
// debug file, log database records, window updates and machine events.
class MACHINE {
public:
    static constexpr size_t kMessageBufferSize = 65536;

    MACHINE(const Clock& clock, UiServices& ui);
    ~MACHINE();
    MACHINE(const MACHINE&) = delete;
    MACHINE& operator=(const MACHINE&) = delete;

    void setWindowFactory(MachineWindowFactory factory) { windowFactory_ = std::move(factory); }
    // Told of every job-log record the engine delivers: its log number, and whether it was stored.
    void setRecordHook(std::function<void(uint32_t logNo, bool stored)> hook) {
        recordHook_ = std::move(hook);
    }
    // Told of every record once it is in the log database (the export follows it).
    void setStoredRecordHook(std::function<void(const uint8_t* record128)> hook) {
        storedRecordHook_ = std::move(hook);
    }
    // Told of every status notification of the engine (the code), before the
    // machine window is: the board follows the machine's state with it.
    void setStatusHook(std::function<void(int code)> hook) { statusHook_ = std::move(hook); }
    // The folder in which the daily text folders of the job log are made.
    void setWorkingDirectory(std::filesystem::path dir) { workDir_ = std::move(dir); }
    // Where the log store's syncs run (the slots' worker); without one they
    // run in the step.
    void setSyncWorker(SyncWorker* worker) { store_.setSyncWorker(worker); }

    void connect(ReadPacketFn read, void* readLink, WritePacketFn write, void* writeLink,
                 MachineEventFn onEvent, void* mainWindow, std::filesystem::path debugDir,
                 std::filesystem::path databaseDir, int slot, int connectionIndex);
    void disconnect();
    void step();
    // Milliseconds until a step has something to do without an answer coming:
    // the engine's own time, a sync that is due or has ended, or the next
    // try of a failing log store.
    uint32_t msUntilDue() const;
    void showMachineWindow(const std::string& title);
    // Writes one message-log line: to the debug file once it is open, before that to memory.
    void log(const char* text);

    void onImageBankBlock(const uint8_t* block256);
    void onImageBankTable(const uint8_t* answer);

    bool connected() const { return connected_; }
    int slot() const { return slot_; }
    int connectionIndex() const { return connectionIndex_; }
    int pictureIndex() const { return pictureIndex_; }
    void setPictureIndex(int index) { pictureIndex_ = index; }
    MachineInfo& info() { return *info_; }
    COMMAND_MACHINE& engine() { return *engine_; }
    // The engine's requests, for the windows that ask the machine for something.
    MachineRequests& requests() { return *requests_; }
    const COMMAND_MACHINE& engine() const { return *engine_; }
    MachineWindowView* window() { return window_.get(); }
    const std::filesystem::path& logDatabasePath() const { return logDatabasePath_; }
    // The log database and daily file, open while the machine is connected
    // and its database passed its check.
    const LogStore& logStore() const { return store_; }
    // The log store failed (check, write or sync) and is tried again later.
    bool logStoreFailing() const { return storeFailing_; }
    // The least time records wait for their sync (tests: 0 syncs at the end of every pass).
    void setSyncInterval(uint32_t ms) { syncIntervalMs_ = ms; }
    const std::filesystem::path& databaseDir() const { return databaseDir_; }
    const std::filesystem::path& debugFilePath() const { return debugFilePath_; }
    bool debugFileOpen() const { return bool(debugFile_); }
    size_t bufferedBytes() const { return messageUsed_; }
    const ImageBankInfo& imageBank() const { return imageBank_; }
    const uint8_t* imageBankTable() const { return imageTable_; }

private:
    static void onEngineLog(void* self, const char* text);
    static void onEngineStatus(void* self, int code, const void* data);
    static void onEngineEvent(void* self, int code, int index, const void* data);
    static void onLogRecord(void* self, int length, const uint8_t* record);
    void identified(int index, const void* data);
    // Opens the log store; on failure stops the fetching and arranges a retry.
    void openLogStore();
    void logStoreFailed(int code);
    void startLogStoreSync();
    void finishLogStoreSync();
    void openDebugFile();
    std::string banner(const char* what) const;

    const Clock& clock_;
    UiServices& ui_;
    std::unique_ptr<MachineInfo> info_;
    std::unique_ptr<COMMAND_MACHINE> engine_;
    std::unique_ptr<CommandMachineRequests> requests_;
    std::unique_ptr<MachineWindowView> window_;
    MachineWindowFactory windowFactory_;
    std::function<void(uint32_t, bool)> recordHook_;
    std::function<void(const uint8_t*)> storedRecordHook_;
    std::function<void(int)> statusHook_;

    int slot_ = -1;
    int connectionIndex_ = -1;
    MachineEventFn onEvent_ = nullptr;
    void* mainWindow_ = nullptr;
    bool connected_ = false;
    int pictureIndex_ = -1;

    std::filesystem::path databaseDir_;
    std::filesystem::path logDatabasePath_;
    std::filesystem::path debugDir_;
    std::filesystem::path workDir_ = ".";

    // The log store of this connection. While it fails, the engine asks for
    // no record and the store is tried again after a wait that doubles from
    // one second to a minute.
    LogStore store_;
    bool storeFailing_ = false;
    uint32_t storeRetryAt_ = 0;
    uint32_t storeBackoffMs_ = 0; // 0 while records are stored; the wait while they are not
    // Records reach the disk once the fetch pass that brought them has ended,
    // at most once per kSyncIntervalMs while records keep coming, on the
    // sync worker: the step only starts a sync and later takes its outcome.
    // What a power cut takes after the last sync is fetched again.
    static constexpr uint32_t kSyncIntervalMs = 250;
    uint32_t syncIntervalMs_ = kSyncIntervalMs;
    bool unsyncedNoted_ = false;
    uint32_t unsyncedSince_ = 0;

    std::unique_ptr<char[]> messageBuffer_;
    size_t messageUsed_ = 0;
    // Each line one write, so that a crash leaves whole lines.
    UniqueFd debugFile_;
    std::filesystem::path debugFilePath_;

    uint8_t imageBankBlock_[256] = {};
    uint8_t imageTable_[1000] = {};
    ImageBankInfo imageBank_ = {};
};

} // namespace dupmon
