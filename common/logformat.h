// A fast path for formatting log messages. The C library's vsnprintf sets up
// a stream and parses the format for every call, which was half of the cost
// of a log line; the messages themselves use a handful of plain conversions.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace vorn {

// Whether 'format' holds only what FormatCheckedPlain handles: %%, %s and the
// integer conversions d, i, u, x and X with the length modifiers hh, h, l, ll
// and z, without flags, width or precision. Anything else is left to
// vsnprintf. Asking first means the caller needs no copy of its argument
// list to fall back on.
bool IsPlainFormat(const char* format);

// Formats 'format' with 'args' into 'out' exactly as vsnprintf(out, room,
// format, args) would (at most room - 1 characters and a terminating NUL,
// nothing when room is 0) and sets 'length' to the length the whole text
// would have. 'format' must have passed IsPlainFormat.
void FormatCheckedPlain(char* out, size_t room, const char* format, va_list args, size_t& length);

}  // namespace vorn
