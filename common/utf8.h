// Decoding of one UTF-8 sequence. The text conversions and the escaping of
// untrusted text share it, so both agree on what is well-formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

// Length (1 to 4) of the well-formed UTF-8 sequence at the start of text, with
// its code point in codePoint; 0 when the bytes there do not start one: an
// empty text, a stray continuation byte, an overlong form, a surrogate, a
// value above U+10FFFF, or a sequence cut short by the end of text.
size_t DecodeUTF8(std::string_view text, uint32_t& codePoint);

}  // namespace vorn
