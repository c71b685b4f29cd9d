// Making text from outside the process safe to write into a log line or onto a
// terminal.
//
// Anything that arrives from the network, a file or another local process may
// hold line feeds (a forged log line), terminal escape sequences (a cleared
// screen) or bytes that are not UTF-8. EscapeUntrusted turns such text into one
// printable line: valid UTF-8 printable characters pass unchanged, everything
// else becomes a visible escape, so the result never spans lines and never
// drives a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn {

// Escapes control characters (C0, DEL and the C1 range U+0080..U+009F) and
// every byte that is not part of a well-formed UTF-8 sequence:
//   \n \r \t       for line feed, carriage return and tab,
//   \\             for a backslash, so an escape in the output is unambiguous,
//   \xHH           for any other such byte (each byte of a C1 character too),
//   \uHHHH         for a character that is valid but invisible and changes how
//                  the rest reads: bidirectional controls (U+061C, U+200E,
//                  U+200F, U+202A..U+202E, U+2066..U+2069), the line and
//                  paragraph separators U+2028 and U+2029, and zero-width
//                  characters (U+180E, U+200B..U+200D, U+2060..U+2065, U+FEFF).
// When maxBytes is not zero and the input is longer, only its first maxBytes
// bytes are escaped and "...(N more bytes)" is appended.
std::string EscapeUntrusted(std::string_view text, size_t maxBytes = 0);

// JSON text with every invisible character listed above written as the JSON
// escape \uHHHH: the same document, the same string values, but nothing in
// it that reorders or hides what a terminal shows. (JSON allows such
// characters only inside strings, where the escape means the same.)
std::string MakeJsonVisible(std::string_view json);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, no
// code point above U+10FFFF) and holds no character EscapeUntrusted escapes
// (a backslash aside).
bool IsPrintableUTF8(std::string_view text);

}  // namespace vorn
