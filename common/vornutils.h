// Text conversions and the general registry read shared by several components.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/vornstatus.h"

namespace vorn {

// Converts wide text (UTF-32 on Linux) to UTF-8. An empty input or any code
// point that cannot be encoded yields an empty string.
std::string WideToUTF8(const std::wstring& text);

// Converts UTF-8 to wide text. Empty input or malformed UTF-8 (overlong forms,
// surrogates, truncated sequences) yields an empty string.
std::wstring UTF8ToWide(const std::string& text);

// Converts UTF-8 to wide text, never failing: each byte that is not part of a
// well-formed sequence becomes U+FFFD, as the platform conversion of text read
// from firmware and system files does. '*replaced' (when given) receives the
// number of bytes replaced.
std::wstring UTF8ToWideLossy(const std::string& text, size_t* replaced = nullptr);

// Decodes UTF-16LE bytes (as the registry hands string data back) up to the
// first NUL code unit or the end of the buffer. Malformed surrogates yield an
// empty string.
std::wstring UTF16LEToWide(const unsigned char* bytes, size_t byteCount);

// Removes leading and trailing space, \n, \r, \t, \f and \v in place.
void Trim(std::string& text);

// The next line of 'text' from 'next' on, as std::getline gives it: lines end
// at '\n' and a last line without one still counts. Advances 'next' past it;
// false once the text is used up.
bool NextLine(const std::string& text, size_t& next, std::string& line);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// Registry value types, with the numeric values the registry uses.
enum RegistryValueType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

// The registry roots the agent reads. Only the local machine hive exists.
enum class RegistryRoot { LocalMachine };

// Reads one registry value into the caller's buffer.
//   *length: buffer size on entry; data size on return (plus one for string types).
//   *type:   the value's type.
// Returns VORN_OK when read; VORN_FAILED when the key cannot be opened (after
// writing "Failed to fetch registry handle.\n" to standard error unless helper
// messages are quiet, see helpermessages.h) or the value
// is missing or larger than the buffer; VORN_INVALID_ARGUMENT for a null buffer,
// null length or zero length; VORN_BUFFER_TOO_SMALL when the data fills the
// buffer exactly, leaving no room for a terminator (*length = data size + 1).
// view64 selects the 64-bit view; the 32-bit view reads SOFTWARE\X from
// SOFTWARE\WOW6432Node\X. String data comes back as UTF-16LE with its
// terminator, as the registry stores it.
VORN_STATUS GetRegistryValue(RegistryRoot root, const std::wstring& subKey,
                             const std::wstring& valueName, unsigned char* buffer, uint32_t* length,
                             uint32_t* type, bool view64);

}  // namespace vorn
