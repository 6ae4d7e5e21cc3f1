// Arbitrary bytes read as a program file ending in a picture archive.
//
// An odd first byte wraps the rest between a proper header text and a tail
// that spans it, so the entry table and image bounds are reached at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "registry/picture_archive.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> file;
    if (size > 0 && (data[0] & 1)) {
        file.assign(kArchiveTextSize, 0);
        std::memcpy(file.data(), kArchiveHeaderText, sizeof kArchiveHeaderText);
        file.insert(file.end(), data + 1, data + size);
        const size_t tail = file.size();
        file.resize(tail + kArchiveTailSize, 0);
        std::memcpy(file.data() + tail, kArchiveTailText, sizeof kArchiveTailText);
        writeLE32(file.data() + file.size() - 4, uint32_t(file.size()));
    } else {
        file.assign(data, data + size);
    }

    const ArchiveContents got = readPictureArchive(file);
    if (got.status != ArchiveStatus::Ok) {
        if (!got.pairs.empty())
            std::abort();
        return 0;
    }
    // What was read packs into an archive that reads back the same.
    const ArchiveContents again = readPictureArchive(buildPictureArchive(got.pairs));
    if (again.status != ArchiveStatus::Ok || again.pairs.size() != got.pairs.size())
        std::abort();
    for (size_t i = 0; i < got.pairs.size(); ++i) {
        if (again.pairs[i].onImage != got.pairs[i].onImage ||
            again.pairs[i].offImage != got.pairs[i].offImage ||
            again.pairs[i].deviceType != got.pairs[i].deviceType)
            std::abort();
    }
    PictureStore store;
    store.takeArchive(got.pairs);
    return 0;
}
