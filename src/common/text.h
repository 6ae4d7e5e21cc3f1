#pragma once
// Small text helpers shared by every layer: trimming lines, printf into a
// string, fixed zero-terminated fields, and file names made from machine ids.
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace dupmon {

// Cut trailing carriage returns and line feeds from a line.
std::string_view cutLineEnd(std::string_view s);
// Cut trailing blanks.
std::string_view cutTrailingBlanks(std::string_view s);
// Cut blanks at both ends.
std::string_view trimBlanks(std::string_view s);

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list ap);

// Copy text into a fixed zero-terminated field of `size` bytes, zero-filling the rest.
void copyField(char* dst, size_t size, std::string_view src);
// Text of a fixed zero-terminated field (stops at the first NUL or at `size`).
std::string_view fieldText(const char* field, size_t size);

// Make a device-supplied name safe to use as a file or folder name on
// Windows and Linux: separators, "..", control characters and <>:"|?* become "_".
std::string safeFileName(std::string_view name);

// The file-name form of a machine id, one-to-one so that two machines never
// share a file: every byte that cannot stand in a file name (control
// characters, separators, <>:"|?*) and "%" itself become "%XX" (upper-case
// hex). An id made of other characters is its own file name.
std::string machineFileName(std::string_view machineId);
// The machine id back from its file-name form.
std::string machineIdFromFileName(std::string_view name);

// The longest start of a UTF-8 text that holds at most `maxBytes` bytes and
// ends on a character boundary.
std::string_view utf8Prefix(std::string_view utf8, size_t maxBytes);

} // namespace dupmon
