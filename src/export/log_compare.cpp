// Comparing a run of local records with the server by MD5 digests, asking for
// whole ranges of log numbers at once.
#include "export/log_compare.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <unordered_map>

#include "common/byte_order.h"
#include "export/export_row.h"
#include "logdb/log_record.h"

namespace dupmon {

namespace {

// Numbers further apart than this start another range of the query, so that
// a wrapped or sparse numbering never asks for the rows in between.
constexpr uint32_t kRangeGap = 1024;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

class Digest {
public:
    Digest() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr); }
    void add(const uint8_t* data, size_t n) { EVP_DigestUpdate(ctx_.get(), data, n); }
    Md5 finish() {
        Md5 d{};
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx_.get(), d.data(), &n);
        EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr);
        return d;
    }

private:
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx_;
};

struct Numbered {
    uint32_t logNo;
    uint32_t position;
};

// The ranges of the query, as two array literals of the server ("{1,5}").
std::pair<std::string, std::string> rangesOf(const std::vector<Numbered>& sorted) {
    std::string lows = "{", highs = "{";
    for (size_t i = 0; i < sorted.size();) {
        size_t end = i + 1;
        while (end < sorted.size() && sorted[end].logNo - sorted[end - 1].logNo <= kRangeGap)
            ++end;
        if (i > 0) {
            lows.push_back(',');
            highs.push_back(',');
        }
        lows.append(std::to_string(sorted[i].logNo));
        highs.append(std::to_string(sorted[end - 1].logNo));
        i = end;
    }
    return {lows + "}", highs + "}"};
}

constexpr const char* kRanges = " FROM unnest($2::bigint[], $3::bigint[]) AS r(lo, hi) JOIN ";
constexpr const char* kInRange = " ON t.machine_id = $1 AND t.log_no BETWEEN r.lo AND r.hi";

} // namespace

Md5 md5Of(const uint8_t* data, size_t n) {
    Digest d;
    d.add(data, n);
    return d.finish();
}

std::string digestHex(const Md5& digest) {
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : digest) {
        s.push_back(hex[b >> 4]);
        s.push_back(hex[b & 15]);
    }
    return s;
}

bool compareWithServer(PgSession& s, const std::string& machineId, const uint8_t* records,
                       uint32_t count, Comparison& out) {
    out = {};
    if (count == 0)
        return true;
    std::vector<Numbered> sorted(count);
    for (uint32_t i = 0; i < count; ++i)
        sorted[i] = {readBE32(records + size_t(i) * kLogRecordSize), i};
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Numbered& a, const Numbered& b) { return a.logNo < b.logNo; });
    const bool distinct =
        std::adjacent_find(sorted.begin(), sorted.end(), [](const Numbered& a, const Numbered& b) {
            return a.logNo == b.logNo;
        }) == sorted.end();
    const auto [lows, highs] = rangesOf(sorted);
    const std::vector<std::optional<std::string>> params = {serverText(machineId), lows, highs};

    // 1. The whole run at once: held exactly when the server has as many rows
    //    in its ranges and their bytes, in number order, have the same digest.
    Digest digest;
    if (distinct) {
        PgResult whole = s.query(
            (std::string("SELECT count(*), md5(string_agg(t.raw, ''::bytea ORDER BY t.log_no))") +
             kRanges + "dupmon_job_record t" + kInRange)
                .c_str(),
            params);
        if (!whole)
            return false;
        for (const Numbered& n : sorted)
            digest.add(records + size_t(n.position) * kLogRecordSize, kLogRecordSize);
        const std::string mine = digestHex(digest.finish());
        if (std::strtoull(PQgetvalue(whole.get(), 0, 0), nullptr, 10) == count &&
            PQgetvalue(whole.get(), 0, 1) == mine)
            return true;
    }

    // 2. Record by record: the digest of each row the server holds in the ranges.
    PgResult rows =
        s.query((std::string("SELECT t.log_no, md5(t.raw), false") + kRanges +
                 "dupmon_job_record t" + kInRange + " UNION ALL SELECT t.log_no, md5(t.raw), true" +
                 kRanges + "dupmon_record_conflict t" + kInRange)
                    .c_str(),
                params);
    if (!rows)
        return false;
    struct Held {
        std::string kept;               // the record table's digest
        std::vector<std::string> aside; // the conflict table's
    };
    std::unordered_map<uint32_t, Held> held;
    held.reserve(size_t(PQntuples(rows.get())));
    for (int i = 0; i < PQntuples(rows.get()); ++i) {
        Held& h = held[uint32_t(std::strtoull(PQgetvalue(rows.get(), i, 0), nullptr, 10))];
        if (*PQgetvalue(rows.get(), i, 2) == 't')
            h.aside.emplace_back(PQgetvalue(rows.get(), i, 1));
        else
            h.kept = PQgetvalue(rows.get(), i, 1);
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = records + size_t(i) * kLogRecordSize;
        const auto found = held.find(readBE32(record));
        if (found == held.end() || found->second.kept.empty()) {
            out.absent.push_back(i);
            continue;
        }
        digest.add(record, kLogRecordSize);
        const std::string mine = digestHex(digest.finish());
        const Held& h = found->second;
        if (mine != h.kept && std::find(h.aside.begin(), h.aside.end(), mine) == h.aside.end())
            out.different.push_back(i);
    }
    return true;
}

} // namespace dupmon
