// SHA-1 digests and Base64 text, as the device identifiers need them.
#pragma once

#include <cstddef>
#include <string>

#include "common/vornstatus.h"

namespace vorn {

// Replaces 'digest' with the 40 lower-case hexadecimal digits of the SHA-1 of
// the 'length' bytes at 'data' (length 0 gives the digest of empty input).
// Returns VORN_INVALID_ARGUMENT (digest untouched) for a null 'data'.
VORN_STATUS GetSHA1Hash(const unsigned char* data, size_t length, std::string& digest);

// Replaces 'output' with the RFC 4648 Base64 text of 'input' (standard
// alphabet, '=' padding, one line, no trailing newline). Returns VORN_FAILED
// with 'output' untouched for an empty input: nothing written means nothing
// to identify the machine by.
VORN_STATUS Base64Encode(const std::string& input, std::string& output);

}  // namespace vorn
