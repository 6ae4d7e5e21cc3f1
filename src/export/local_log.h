#pragma once
// A machine's local log database as the export reads it: records by index,
// and the machine id its file name gives.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/file_io.h"
#include "common/result_codes.h"

namespace dupmon {

// A local log database read for the export: any run of its records by
// index. Records are counted when the file is opened; the monitor may append
// more meanwhile, and those reach the export through its queue.
class LocalLog {
public:
    // The header checks and codes of the log database readers (PASS,
    // DATABASE_NOT_EXIST, DATABASE_CORRUPT, DATABASE_WRONG_TITLE, ...).
    DatabaseResult open(const std::filesystem::path& path);
    uint64_t count() const { return count_; }
    // `n` records from index `first` into `out` (128 bytes each).
    bool read(uint64_t first, uint32_t n, uint8_t* out);
    const std::string& problem() const { return problem_; }

private:
    FilePtr file_;
    uint64_t count_ = 0;
    std::string problem_;
};

// The machine id whose log database this file is ("<id>.QX42.LOGDATA",
// the id in its file-name form); empty when the name is not of that form.
std::string machineIdOfLogDatabase(const std::filesystem::path& path);

} // namespace dupmon
