// A fast path for formatting log messages. The C library's vsnprintf sets up
// a stream and parses the format for every call, which was half of the cost
// of a log line; the messages themselves use a handful of plain conversions.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace vorn {

// Formats 'format' with 'args' into 'out' exactly as vsnprintf(out, room,
// format, args) would (at most room - 1 characters and a terminating NUL,
// nothing when room is 0) and sets 'length' to the length the whole text
// would have. Handles %%, %s and the integer conversions d, i, u, x and X
// with the length modifiers hh, h, l, ll and z, without flags, width or
// precision. Returns false, having read no argument, when the format holds
// anything else: the caller then formats with vsnprintf.
bool FormatPlain(char* out, size_t room, const char* format, va_list args, size_t& length);

// Whether FormatPlain handles 'format' (reads no argument).
bool IsPlainFormat(const char* format);

// FormatPlain for a format that IsPlainFormat accepted, without checking it
// again: a caller that has asked first needs no copy of its argument list to
// fall back on.
void FormatCheckedPlain(char* out, size_t room, const char* format, va_list args, size_t& length);

}  // namespace vorn
