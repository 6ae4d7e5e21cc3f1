// The names of the registry and log database result codes.
#include "common/result_codes.h"

#include "common/text.h"

namespace dupmon {

std::string errorName(int code) {
    static const char* const names[] = {"PASS",
                                        "DATABASE_NOT_EXIST",
                                        "MEMORY_NOT_ENOUGH_FOR_DATABASE",
                                        "DATABASE_CORRUPT",
                                        "DATABASE_WRONG_TITLE",
                                        "DATABASE_WRONG_VERSION",
                                        "DATABASE_CREATE_FAIL",
                                        "DATABASE_WRITE_FAIL"};
    if (code >= 0 && code < 8)
        return names[code];
    return format("unknown error code (%d)", code);
}

} // namespace dupmon
