// Any record and any machine id become exactly one COPY line of 19 fields
// that a UTF-8 server takes: no NUL, no stray byte, no tab or line end
// inside a field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "export/export_row.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t record[128] = {};
    std::memcpy(record, data, std::min(size, sizeof record));
    const std::string_view id =
        size > sizeof record ? std::string_view(reinterpret_cast<const char*>(data) + sizeof record,
                                                size - sizeof record)
                             : std::string_view();
    std::string line;
    dupmon::appendCopyRow(line, id, record);
    if (line.empty() || line.back() != '\n' || std::count(line.begin(), line.end(), '\n') != 1 ||
        std::count(line.begin(), line.end(), '\t') != 18)
        __builtin_trap();
    // Valid UTF-8 without NUL is left as it is.
    if (dupmon::serverText(line) != line)
        __builtin_trap();
    return 0;
}
