// Local records compared with what the server holds: the holes are found
// wherever they are, a key held with other bytes is found unless it is kept
// beside already, and sending what was found leaves nothing owed.
#include <set>

#include "export/export_row.h"
#include "export/log_compare.h"
#include "export/record_table.h"
#include "export/schema.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

// Records one after the other, as a log database holds them.
struct Records {
    std::vector<uint8_t> bytes;
    Records& add(uint32_t logNo, uint32_t variant = 0) {
        const RecordBytes r = jobRecord(logNo, logNo + variant);
        bytes.insert(bytes.end(), r.b.begin(), r.b.end());
        return *this;
    }
    Records& addRange(uint32_t first, uint32_t count, uint32_t variant = 0) {
        for (uint32_t k = 0; k < count; ++k)
            add(first + k, variant);
        return *this;
    }
    uint32_t count() const { return uint32_t(bytes.size() / 128); }
    const uint8_t* at(uint32_t i) const { return bytes.data() + size_t(i) * 128; }
    std::string rows(const std::vector<uint32_t>& positions) const {
        std::string out;
        for (uint32_t i : positions)
            appendCopyRow(out, "M1", at(i));
        return out;
    }
    std::string rows() const {
        std::string out;
        for (uint32_t i = 0; i < count(); ++i)
            appendCopyRow(out, "M1", at(i));
        return out;
    }
};

std::vector<uint32_t> positions(uint32_t first, uint32_t count, uint32_t step = 1) {
    std::vector<uint32_t> v;
    for (uint32_t k = first; k < first + count; k += step)
        v.push_back(k);
    return v;
}

} // namespace

class LogCompare : public ServerTest {};

TEST_F(LogCompare, FindsEveryHoleAndEveryRecordHeldOtherwise) {
    Records everyOther;
    for (uint32_t n = 0; n < 3000; n += 2)
        everyOther.add(n);
    Records restarted; // a log that started again: 0 .. 99 twice, the second time other bytes
    restarted.addRange(0, 100).addRange(0, 100, 5000);
    Records wrapped; // numbers that run past 0xFFFFFFFF, and a far one
    wrapped.addRange(0xFFFFFFF0u, 16).addRange(0, 40).add(2000000000u);
    const struct Case {
        const char* name;
        Records server; // what the server holds before (kept beside when a key repeats)
        Records local;
        std::vector<uint32_t> absent, different;
    } cases[] = {
        {"the server holds all", Records().addRange(0, 3000), Records().addRange(0, 3000), {}, {}},
        {"the server holds none", Records(), Records().addRange(0, 3000), positions(0, 3000), {}},
        {"the server holds every other one",
         everyOther,
         Records().addRange(0, 3000),
         positions(1, 3000, 2),
         {}},
        {"a hole in the middle after a refusal",
         Records().addRange(0, 1000).addRange(1010, 1990),
         Records().addRange(0, 3000),
         positions(1000, 10),
         {}},
        {"other bytes under some numbers", Records().addRange(0, 100).addRange(100, 20, 7),
         Records().addRange(0, 200), positions(120, 80), positions(100, 20)},
        {"a log that started again, its first round on the server",
         Records().addRange(0, 100),
         restarted,
         {},
         positions(100, 100)},
        {"a log that started again, both rounds there", restarted, restarted, {}, {}},
        {"numbers that wrap, half on the server",
         Records().addRange(0xFFFFFFF8u, 8).addRange(0, 20),
         wrapped,
         [] {
             auto v = positions(0, 8);
             for (uint32_t i : positions(36, 21))
                 v.push_back(i);
             return v;
         }(),
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server().admin(db, "TRUNCATE dupmon_job_record, dupmon_record_conflict");
        PgSession s;
        ASSERT_EQ(s.connect(checkServerUrl(url()), 10000), PgSession::Failure::None);
        ASSERT_TRUE(prepareExportSession(s).ready);
        ASSERT_TRUE(sendRecordRows(s, c.server.rows()).complete()) << s.problem();

        Comparison found;
        ASSERT_TRUE(compareWithServer(s, "M1", c.local.bytes.data(), c.local.count(), found))
            << s.problem();
        EXPECT_EQ(found.absent, c.absent);
        EXPECT_EQ(found.different, c.different);

        // What was found, sent, leaves nothing owed, and every local record
        // is on the server once: in the record table or beside it.
        ASSERT_TRUE(sendAbsentRows(s, c.local.rows(found.absent)).complete()) << s.problem();
        ASSERT_TRUE(sendRecordRows(s, c.local.rows(found.different)).complete()) << s.problem();
        Comparison after;
        ASSERT_TRUE(compareWithServer(s, "M1", c.local.bytes.data(), c.local.count(), after));
        EXPECT_EQ(after.owed(), 0u);
        std::set<std::string> local, held;
        for (uint32_t i = 0; i < c.local.count(); ++i)
            local.insert(hexOf(c.local.at(i)));
        for (const char* table : {"dupmon_job_record", "dupmon_record_conflict"})
            for (const auto& row :
                 server().admin(db, std::string("SELECT encode(raw, 'hex') FROM ") + table))
                EXPECT_TRUE(held.insert(row[0]).second) << "held twice: " << row[0];
        for (const std::string& raw : local)
            EXPECT_EQ(held.count(raw), 1u);
    }
}

TEST_F(LogCompare, DigestsAreTheServersOwn) {
    // md5 of the bytes, as the server's md5() gives it.
    const RecordBytes r = usbCopyRecord();
    EXPECT_EQ(digestHex(md5Of(r.data(), 128)),
              server().value(db, "SELECT md5(decode('" + hexOf(r.data()) + "', 'hex'))"));
    // The published value for "abc" (RFC 1321).
    EXPECT_EQ(digestHex(md5Of(reinterpret_cast<const uint8_t*>("abc"), 3)),
              "900150983cd24fb0d6963f7d28e17f72");
}
