// What the server holds of a run of a machine's local records: the records
// it lacks, and those whose key it holds with other bytes. Digests (MD5 of
// the 128 bytes) are compared, not records: a run the server holds exactly
// costs one query that returns one row.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "export/pg_session.h"

namespace dupmon {

struct Comparison {
    // Positions (in the records compared) of the records whose log number the
    // server lacks.
    std::vector<uint32_t> absent;
    // Positions of the records whose log number the server holds with other
    // bytes, and that are not kept in dupmon_record_conflict yet.
    std::vector<uint32_t> different;
    size_t owed() const { return absent.size() + different.size(); }
};

// Compares `count` records (128 bytes each) of one machine with the
// server's record and conflict tables. False, with the session's problem
// set, when the server cannot be asked.
bool compareWithServer(PgSession& session, const std::string& machineId, const uint8_t* records,
                       uint32_t count, Comparison& out);

using Md5 = std::array<uint8_t, 16>;
// MD5 of `n` bytes, as the server's md5() gives it (in hex there).
Md5 md5Of(const uint8_t* data, size_t n);
std::string digestHex(const Md5& digest);

} // namespace dupmon
