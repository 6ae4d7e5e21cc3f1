#pragma once
// The result codes of the registry and log database file operations, and
// their names as messages show them.
#include <string>

namespace dupmon {

// Result codes of the registry and log database file operations.
enum DatabaseResult : int {
    PASS = 0,
    DATABASE_NOT_EXIST = 1,
    MEMORY_NOT_ENOUGH_FOR_DATABASE = 2,
    DATABASE_CORRUPT = 3,
    DATABASE_WRONG_TITLE = 4,
    DATABASE_WRONG_VERSION = 5,
    DATABASE_CREATE_FAIL = 6,
    DATABASE_WRITE_FAIL = 7,
};

// "PASS", "DATABASE_NOT_EXIST", ..., or "unknown error code (%d)".
std::string errorName(int code);

} // namespace dupmon
