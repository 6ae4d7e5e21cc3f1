// Arbitrary bytes read as a machine registry file.
//
// An odd first byte puts the right title and version in front of the rest
// and fills the file up to its full size with zeros, so the entry checks are
// reached without guessing 120 bytes or growing inputs to 9144 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/result_codes.h"
#include "registry/system_database.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file;
    if (size > 0 && (data[0] & 1)) {
        file.assign(kRegistryTitle, kRegistryTitle + kRegistryTitleSize);
        file.insert(file.end(), kRegistryVersion, kRegistryVersion + kRegistryVersionSize);
        file.insert(file.end(), data + 1, data + size);
        if (file.size() < kRegistryFileSize)
            file.resize(kRegistryFileSize, 0);
    } else {
        file.assign(data, data + size);
    }

    SYSTEM_DATABASE db;
    const int code = db.openImage(file);
    if (code < PASS || code > DATABASE_WRITE_FAIL || db.errorName(code).empty())
        std::abort();
    if (code != PASS) {
        if (db.changed())
            std::abort(); // a refused file leaves nothing to write
        return 0;
    }
    for (int i = 0; i < db.entryCount(); ++i) {
        if (!db.isInUse(i))
            continue;
        // Every entry reads back into a record that writes the same bytes,
        // and is found at a position no later than its own.
        const MachineInfo record = db.entry(i);
        int position = -1;
        if (!db.findMachine(record, &position) || position < 0 || position > i)
            std::abort();
        db.updateMachine(i, record);
        if (db.changed())
            std::abort();
    }
    return 0;
}
