// Reading a machine's local log database for the export: the header checks,
// the records a crash left whole, and the machine id in the file's name.
#include "export/local_log.h"

#include <cstring>
#include <memory>

#include "common/byte_order.h"
#include "common/text.h"
#include "logdb/log_database.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {
constexpr std::string_view kDatabaseSuffix = ".QX42.LOGDATA";
}

DatabaseResult LocalLog::open(const fs::path& path) {
    file_.reset();
    count_ = 0;
    ReadableFile in = openRegularFile(path);
    if (!in) {
        problem_ = in.problem;
        return in.missing ? DATABASE_NOT_EXIST : DATABASE_CORRUPT;
    }
    const DatabaseResult result = checkLogHeader(in.file.get());
    if (result != PASS) {
        problem_ = logHeaderProblem(result);
        return result;
    }
    // A damaged tail (slots of zeros a crash left) holds no record to send.
    const StoredRecords stored = scanStoredRecords(fileno(in.file.get()), in.size);
    if (stored.error) {
        problem_ = "cannot be read: " + errorText(stored.error);
        return DATABASE_CORRUPT;
    }
    file_ = std::move(in.file);
    count_ = stored.count;
    problem_.clear();
    return PASS;
}

bool LocalLog::read(uint64_t first, uint32_t n, uint8_t* out) {
    if (!file_ || first + n > count_ ||
        !seekTo(file_.get(), kLogHeaderSize + first * kLogRecordSize))
        return false;
    if (std::fread(out, kLogRecordSize, n, file_.get()) != n) {
        problem_ = "cannot be read";
        return false;
    }
    return true;
}

std::string machineIdOfLogDatabase(const fs::path& path) {
    const std::string name = path.filename().string();
    if (name.size() <= kDatabaseSuffix.size() || !name.ends_with(kDatabaseSuffix))
        return {};
    return machineIdFromFileName(
        std::string_view(name).substr(0, name.size() - kDatabaseSuffix.size()));
}

} // namespace dupmon
