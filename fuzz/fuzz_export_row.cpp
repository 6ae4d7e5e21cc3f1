// Any record, any machine id and any PC name become exactly one COPY line
// of 20 fields that a UTF-8 server takes: no NUL, no stray byte, no tab or
// line end inside a field.
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
    // After the record: the machine id, then the PC's name after a NUL.
    const std::string_view rest =
        size > sizeof record ? std::string_view(reinterpret_cast<const char*>(data) + sizeof record,
                                                size - sizeof record)
                             : std::string_view();
    const size_t nul = std::min(rest.find('\0'), rest.size());
    const std::string_view id = rest.substr(0, nul);
    const std::string_view pc = rest.substr(std::min(nul + 1, rest.size()));
    std::string line;
    dupmon::appendCopyRow(line, id, record, pc);
    if (line.empty() || line.back() != '\n' || std::count(line.begin(), line.end(), '\n') != 1 ||
        std::count(line.begin(), line.end(), '\t') != 19)
        __builtin_trap();
    // Valid UTF-8 without NUL is left as it is.
    if (dupmon::serverText(line) != line)
        __builtin_trap();
    return 0;
}
