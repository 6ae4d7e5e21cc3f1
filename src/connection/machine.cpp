// One machine slot's connection: steps its engine on the HID link, writes the
// message-log lines to the machine's monthly debug file (held in memory until
// the machine is identified), stores job-log records, and passes status and
// events on to the machine window and the main window.
#include "connection/machine.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <system_error>

#include "common/byte_order.h"
#include "common/result_codes.h"
#include "common/text.h"
#include "common/timestamp.h"
#include "logdb/log_database.h"
#include "protocol/checksum.h"

namespace dupmon {

MACHINE::MACHINE(const Clock& clock, UiServices& ui)
    : clock_(clock), ui_(ui), info_(std::make_unique<MachineInfo>()),
      messageBuffer_(new char[kMessageBufferSize]) {
    std::memset(info_.get(), 0, sizeof *info_);
    engine_ = std::make_unique<COMMAND_MACHINE>(info_.get(), clock_, ui_);
    requests_ = std::make_unique<CommandMachineRequests>(*engine_);
    const std::string open = banner("OPEN");
    std::memcpy(messageBuffer_.get(), open.data(), open.size());
    messageUsed_ = open.size();
}

MACHINE::~MACHINE() {
    window_.reset();
    store_.close(); // what was stored reaches the disk before the program ends
    if (debugFile_)
        appendWhole(debugFile_.get(), banner("CLOSE"));
}

std::string MACHINE::banner(const char* what) const {
    const LocalTime t = clock_.localTime();
    const std::string rule(60, '=');
    return "\n" + rule + "\n" +
           format("%s Brellock DEBUG FILE at %4d-%02d-%02d %02d:%02d:%02d", what, t.year, t.month,
                  t.day, t.hour, t.minute, t.second) +
           "\n" + rule + "\n";
}

void MACHINE::connect(ReadPacketFn read, void* readLink, WritePacketFn write, void* writeLink,
                      MachineEventFn onEvent, void* mainWindow, std::filesystem::path debugDir,
                      std::filesystem::path databaseDir, int slot, int connectionIndex) {
    debugDir_ = std::move(debugDir);
    databaseDir_ = std::move(databaseDir);
    onEvent_ = onEvent;
    mainWindow_ = mainWindow;
    slot_ = slot;
    connectionIndex_ = connectionIndex;
    engine_->bind(read, readLink, write, writeLink, &MACHINE::onEngineLog, this,
                  &MACHINE::onEngineStatus, this, &MACHINE::onEngineEvent, this);
    engine_->setLogRecordCallback(&MACHINE::onLogRecord, this);
    log("Machine connect ! ");
    connected_ = true;
}

void MACHINE::disconnect() {
    engine_->disconnect();
    store_.close();
    unsyncedNoted_ = false;
    storeFailing_ = false;
    storeBackoffMs_ = 0;
    log("Machine disconnect ! ");
    window_.reset();
    if (onEvent_)
        onEvent_(mainWindow_, connectionIndex_, EVENT_DISCONNECTED, 0, nullptr);
    connected_ = false;
}

void MACHINE::step() {
    if (!connected_)
        return;
    engine_->step();
    if (store_.syncEnded())
        finishLogStoreSync();
    if (store_.unsynced() && !store_.syncRunning()) {
        const uint32_t now = clock_.tickMs();
        if (!unsyncedNoted_) {
            unsyncedNoted_ = true;
            unsyncedSince_ = now;
        }
        if (!engine_->fetchingLog() && now - unsyncedSince_ >= syncIntervalMs_)
            startLogStoreSync();
    }
    if (storeFailing_ && int32_t(clock_.tickMs() - storeRetryAt_) >= 0)
        openLogStore();
}

uint32_t MACHINE::msUntilDue() const {
    if (!connected_)
        return COMMAND_MACHINE::kNoDeadline;
    uint32_t due = engine_->msUntilDue();
    if (store_.syncEnded())
        return 0;
    if (unsyncedNoted_ && store_.unsynced() && !store_.syncRunning() && !engine_->fetchingLog()) {
        const uint32_t waited = clock_.tickMs() - unsyncedSince_;
        due = std::min(due, waited >= syncIntervalMs_ ? 0u : syncIntervalMs_ - waited);
    }
    if (storeFailing_) {
        const auto retry = static_cast<int32_t>(storeRetryAt_ - clock_.tickMs());
        due = std::min(due, retry > 0 ? uint32_t(retry) : 0u);
    }
    return due;
}

void MACHINE::showMachineWindow(const std::string& title) {
    if (!window_ && windowFactory_) {
        window_ = windowFactory_(*this, title);
        if (!window_)
            return;
        if (info_->support_LogRecord == 1)
            window_->setLogNumber(info_->lastStoredLogNo + 1);
        // A window opened on a machine that does not answer says so at once.
        if (engine_->silent()) {
            const bool silent = true;
            window_->onStatus(STATUS_SILENCE, &silent);
        }
        engine_->windowOpened();
    }
    if (!window_)
        return;
    engine_->refreshPortData();
    window_->showWindow();
}

void MACHINE::log(const char* text) {
    const std::string stamp = messageStamp(clock_.localTime());
    if (debugFile_) {
        // A debug file removed with its folder takes no more lines: they
        // wait in memory for the next identification.
        struct stat st {};
        if (::fstat(debugFile_.get(), &st) == 0 && st.st_nlink > 0) {
            appendWhole(debugFile_.get(), stamp + text + "\n");
            return;
        }
        debugFile_.reset();
        debugFilePath_.clear();
    }
    const size_t len = stamp.size() + std::strlen(text) + 1;
    if (messageUsed_ + 1000 < kMessageBufferSize && messageUsed_ + len < kMessageBufferSize) {
        std::memcpy(messageBuffer_.get() + messageUsed_, stamp.data(), stamp.size());
        std::memcpy(messageBuffer_.get() + messageUsed_ + stamp.size(), text,
                    len - 1 - stamp.size());
        messageBuffer_[messageUsed_ + len - 1] = '\n';
        messageUsed_ += len;
    }
}

void MACHINE::onEngineLog(void* self, const char* text) {
    static_cast<MACHINE*>(self)->log(text);
}

void MACHINE::onEngineStatus(void* self, int code, const void* data) {
    auto* m = static_cast<MACHINE*>(self);
    if (m->statusHook_)
        m->statusHook_(code);
    if (m->window_)
        m->window_->onStatus(code, data);
}

void MACHINE::onEngineEvent(void* self, int code, int index, const void* data) {
    auto* m = static_cast<MACHINE*>(self);
    switch (code) {
    case EVENT_IDENTIFIED:
        m->identified(index, data);
        break;
    case EVENT_IMAGE_BANK_BLOCK:
    case EVENT_IMAGE_BANK_TABLE:
        if (static_cast<const uint8_t*>(data)[3] != 0)
            break;
        [[fallthrough]];
    case EVENT_CLOCK_SET:
    case EVENT_CLOCK_NOT_SET:
    case 21:
        if (m->onEvent_)
            m->onEvent_(m->mainWindow_, m->connectionIndex_, code, index, data);
        break;
    default:
        break;
    }
}

void MACHINE::openDebugFile() {
    const LocalTime t = clock_.localTime();
    const std::filesystem::path path =
        debugDir_ /
        format("%s(%04d%02d).txt",
               machineFileName(fieldText(info_->machineId, sizeof info_->machineId)).c_str(),
               t.year, t.month);
    // After a replug the same month's file is already open: keep writing to it.
    if (debugFile_ && path == debugFilePath_)
        return;
    // Opened without blocking and only when it is a regular file: a pipe at
    // its name must not hold every machine.
    AppendFile f = openAppendFile(path);
    debugFile_ = std::move(f.fd);
    debugFilePath_ = debugFile_ ? path : std::filesystem::path();
    if (debugFile_ && messageUsed_ > 0 &&
        appendWhole(debugFile_.get(), std::string_view(messageBuffer_.get(), messageUsed_)))
        messageUsed_ = 0;
}

void MACHINE::identified(int index, const void* data) {
    if (onEvent_)
        onEvent_(mainWindow_, connectionIndex_, EVENT_IDENTIFIED, index, data);
    openDebugFile();
    logDatabasePath_ = dupmon::logDatabasePath(databaseDir_, *info_);
    log(format("machineInfo->support_LogRecord = %d", info_->support_LogRecord).c_str());
    if (info_->support_LogRecord == 1) {
        log(format("machineInfo->Machine_LOG_startNo=%d", int(info_->Machine_LOG_startNo)).c_str());
        log(format("machineInfo->Machine_LOG_nextNewNo  =%d", int(info_->Machine_LOG_nextNewNo))
                .c_str());
        storeFailing_ = false;
        storeBackoffMs_ = 0;
        openLogStore();
    } else {
        store_.close();
        engine_->setLogStoreReady(true);
    }
    // Every machine gets the PC's time whenever it is identified.
    engine_->setMachineClock();
}

void MACHINE::openLogStore() {
    const LogDatabaseCheck check = store_.open(logDatabasePath_, *info_, workDir_);
    if (check.result != PASS) {
        logStoreFailed(check.result);
        return;
    }
    if (!store_.note().empty())
        log(format("log database %s: %s", logDatabasePath_.c_str(), store_.takeNote().c_str())
                .c_str());
    if (storeFailing_)
        log(format("log database %s: opened again; job-log records are fetched",
                   logDatabasePath_.c_str())
                .c_str());
    storeFailing_ = false;
    engine_->setStoredRecords(check.holdsRecords);
    engine_->setLogStoreReady(true);
}

void MACHINE::logStoreFailed(int code) {
    engine_->setLogStoreReady(false);
    const std::string problem =
        errorName(code) + "\n" + logDatabasePath_.string() + ": " + store_.problem();
    // Told once, when the trouble begins; each later try is a line in the
    // log. The trouble lasts until a record is stored again.
    const bool begins = storeBackoffMs_ == 0;
    if (begins)
        ui_.messageBox(
            problem + "\nNo job-log record of this machine is fetched until it can be " +
                (code == DATABASE_NOT_EXIST ? "stored." : "stored; the file is left as it is."),
            "DATABASE");
    constexpr uint32_t kFirstWaitMs = 1000, kLongestWaitMs = 60000;
    storeBackoffMs_ = begins ? kFirstWaitMs : std::min(kLongestWaitMs, storeBackoffMs_ * 2);
    storeFailing_ = true;
    storeRetryAt_ = clock_.tickMs() + storeBackoffMs_;
    log(format("log database %s: %s %s; job-log records are not fetched, next try in %u s",
               logDatabasePath_.c_str(), errorName(code).c_str(), store_.problem().c_str(),
               storeBackoffMs_ / 1000)
            .c_str());
}

void MACHINE::startLogStoreSync() {
    unsyncedNoted_ = false;
    if (!store_.startSync()) {
        // The database was found removed or replaced.
        if (!store_.isOpen())
            logStoreFailed(store_.failure());
        return;
    }
    if (store_.syncEnded())
        finishLogStoreSync();
}

void MACHINE::finishLogStoreSync() {
    const LogStore::SyncResult synced = store_.finishSync();
    if (synced.ok)
        return;
    // What the disk did not take is fetched again.
    info_->lastStoredLogNo = synced.lastStoredLogNo;
    engine_->setStoredRecords(synced.holdsRecords);
    logStoreFailed(DATABASE_WRITE_FAIL);
}

void MACHINE::onLogRecord(void* self, int length, const uint8_t* record) {
    auto* m = static_cast<MACHINE*>(self);
    if (length <= 0)
        return;
    // A record that cannot be stored is dropped: lastStoredLogNo stays, so it
    // is fetched again once the store works.
    AppendedRecord appended;
    if (m->store_.isOpen()) {
        appended = m->store_.append(record, size_t(length), *m->info_);
        if (!m->store_.note().empty())
            m->log(format("log database %s: %s", m->logDatabasePath_.c_str(),
                          m->store_.takeNote().c_str())
                       .c_str());
        if (!appended.stored && !m->store_.isOpen())
            m->logStoreFailed(m->store_.failure());
    }
    if (m->recordHook_ && length >= 4)
        m->recordHook_(readBE32(record), appended.stored);
    if (!appended.stored)
        return;
    if (m->storeBackoffMs_ != 0) {
        m->storeBackoffMs_ = 0;
        m->log(format("log database %s: records are stored again", m->logDatabasePath_.c_str())
                   .c_str());
    }
    m->engine_->setStoredRecords(true);
    if (m->storedRecordHook_)
        m->storedRecordHook_(record);
    if (m->window_) {
        m->window_->setLogNumber(m->info_->lastStoredLogNo + 1);
        m->window_->addLogRecord(record);
    }
}

void MACHINE::onImageBankBlock(const uint8_t* answer) {
    uint8_t* b = imageBankBlock_;
    std::memcpy(b, answer, sizeof imageBankBlock_);
    if (crc32(b, 252) != readBE32(b + 252)) {
        std::memset(b, 0, sizeof imageBankBlock_);
        imageBank_ = {};
        return;
    }
    ImageBankInfo& i = imageBank_;
    copyField(i.identifySymbol, sizeof i.identifySymbol,
              fieldText(reinterpret_cast<const char*>(b + 4), 64));
    copyField(i.version, sizeof i.version, fieldText(reinterpret_cast<const char*>(b + 68), 16));
    i.dw_hddTotalSectorQty = readBE64(b + 84);
    i.byteQty_per_hddSector = readBE32(b + 92);
    i.max_image_qty = readBE32(b + 96);
    i.max_dataBank_qty = readBE32(b + 100);
    i.SectorQty_per_dataBank = readBE32(b + 104);
    i.free_image_qty = readBE32(b + 108);
    i.free_dataBank_qty = readBE32(b + 112);
    log(format("identifySymbol=[%s]", i.identifySymbol).c_str());
    log(format("version       =[%s]", i.version).c_str());
    log(format("dw_hddTotalSectorQty   = %d", int(uint32_t(i.dw_hddTotalSectorQty))).c_str());
    log(format("byteQty_per_hddSector  = %d", int(i.byteQty_per_hddSector)).c_str());
    log(format("max_image_qty          = %d", int(i.max_image_qty)).c_str());
    log(format("max_dataBank_qty       = %d", int(i.max_dataBank_qty)).c_str());
    log(format("SectorQty_per_dataBank = %d", int(i.SectorQty_per_dataBank)).c_str());
    log(format("free_image_qty         = %d", int(i.free_image_qty)).c_str());
    log(format("free_dataBank_qty      = %d", int(i.free_dataBank_qty)).c_str());
    // The window reads the block in host order.
    uint8_t host[256];
    std::memcpy(host, b, sizeof host);
    const size_t fields32[] = {92, 96, 100, 104, 108, 112};
    for (size_t off : fields32) {
        const uint32_t v = readBE32(b + off);
        std::memcpy(host + off, &v, 4);
    }
    const uint64_t total = i.dw_hddTotalSectorQty;
    std::memcpy(host + 84, &total, 8);
    if (window_)
        window_->showImageBankInfo(host);
}

void MACHINE::onImageBankTable(const uint8_t* answer) {
    if (answer[3] != 0) {
        std::memset(imageTable_, 0, sizeof imageTable_);
        return;
    }
    const uint32_t qty = std::min<uint32_t>(imageBank_.max_image_qty, sizeof imageTable_);
    if (qty == 0) {
        if (window_)
            window_->showImageBankTable(imageTable_, 0);
        return;
    }
    std::memcpy(imageTable_, answer + 4, qty);
    if (window_)
        window_->showImageBankTable(imageTable_, qty);
    log(format("Pellux_existTable[%d] =", int(imageBank_.max_image_qty)).c_str());
    std::string line;
    for (uint32_t k = 0; k < qty; ++k)
        line += format(" %d", imageTable_[k]);
    log(line.c_str());
}

} // namespace dupmon
