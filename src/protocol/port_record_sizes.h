#pragma once
// The sizes of port data records by kind, wide or narrow as the controller's
// firmware keeps its counters, and the widening of narrow records.
#include <cstddef>
#include <cstdint>

namespace dupmon {

// Port data records (E answers): kinds 1 and 11 come wide (64-bit counters)
// or narrow (32-bit counters), as the controller's firmware keeps them.
inline constexpr size_t kWidePortRecordSize = 114;
inline constexpr size_t kNarrowPortRecordSize = 90;
inline constexpr size_t kWideKind11Size = 72;
inline constexpr size_t kNarrowKind11Size = 48;

// Record size of a port data kind (0 for kind 10 and unknown kinds).
size_t portRecordSize(int kind, bool wide);
// Turn a narrow kind-1 (90 bytes) or kind-11 (48 bytes) record into its wide form.
void widenPortRecord(int kind, const uint8_t* narrow, uint8_t* wide);

} // namespace dupmon
