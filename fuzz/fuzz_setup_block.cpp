// A setup block as a machine might hold it, through the dialog's codec: load,
// operator texts and choices of any kind, TEST and OK. Whatever the controls
// hold, no byte outside the known fields may change, a choice without a
// selection leaves its bytes, and TEST never touches the dialog's block.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/setup_block.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kSetupBlockSize)
        return 0;
    std::array<uint8_t, kSetupBlockSize> in;
    std::memcpy(in.data(), data, kSetupBlockSize);
    SetupBlockEditor e;
    e.load(in.data());

    // The rest of the input: per control, one byte choosing an item (or none)
    // and a length-prefixed text.
    size_t pos = kSetupBlockSize;
    for (size_t k = 0; k < kSetupFieldCount && pos < size; ++k) {
        const SetupField& f = setupFields()[k];
        if (f.kind == SetupControlKind::MaskEdit) {
            const size_t want = data[pos++] % 12;
            const size_t n = std::min<size_t>(want, size - pos);
            e.controls[k].text.assign(reinterpret_cast<const char*>(data + pos), n);
            pos += n;
        } else {
            e.controls[k].index = int(data[pos++] % (f.items.size() + 2)) - 1; // -1 .. count
        }
    }
    e.test();
    std::array<uint8_t, kSetupBlockSize> kept;
    e.take(kept.data());
    if (kept != in)
        std::abort(); // TEST changed the block
    const SetupControls chosen = e.controls;
    e.ok();
    std::array<uint8_t, kSetupBlockSize> out;
    e.take(out.data());

    std::array<bool, kSetupBlockSize> known{};
    for (const SetupField& f : setupFields())
        for (size_t i = 0; i < f.size; ++i)
            known[f.offset + i] = true;
    for (size_t i = 0; i < kSetupBlockSize; ++i)
        if (!known[i] && out[i] != in[i])
            std::abort();
    for (size_t k = 0; k < kSetupFieldCount; ++k) {
        const SetupField& f = setupFields()[k];
        const bool none = f.kind != SetupControlKind::MaskEdit &&
                          (chosen[k].index < 0 || size_t(chosen[k].index) >= f.items.size());
        if (none && std::memcmp(out.data() + f.offset, in.data() + f.offset, f.size) != 0)
            std::abort();
    }
    // What OK stored is what the controls show next time: loaded and stored
    // again, it stays as it is.
    SetupBlockEditor again;
    again.load(out.data());
    again.ok();
    std::array<uint8_t, kSetupBlockSize> twice;
    again.take(twice.data());
    if (twice != out)
        std::abort();
    return 0;
}
