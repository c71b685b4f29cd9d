#include "agent/cryptoutils.h"

#include <sha1.h>

#include <cstdint>

namespace vorn {

// SHA-1 comes from libmd, a small library every Debian system carries that
// holds nothing but digests; Base64 is small enough to carry here. Neither
// pulls in the TLS library, whose loading and symbol binding cost more than
// the collection (and with it `vornctl attributes`) itself.

VORN_STATUS GetSHA1Hash(const unsigned char* data, size_t length, std::string& digest) {
    if (data == nullptr) {
        return VORN_INVALID_ARGUMENT;
    }
    char text[SHA1_DIGEST_STRING_LENGTH];
    if (SHA1Data(data, length, text) == nullptr) {
        return VORN_FAILED;
    }
    digest.assign(text, SHA1_DIGEST_STRING_LENGTH - 1);
    return VORN_OK;
}

VORN_STATUS Base64Encode(const std::string& input, std::string& output) {
    if (input.empty()) {
        return VORN_FAILED;
    }
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((input.size() + 2) / 3 * 4);
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    size_t i = 0;
    for (; input.size() - i >= 3; i += 3) {
        const uint32_t group =
            (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | uint32_t{bytes[i + 2]};
        text += kAlphabet[(group >> 18) & 0x3f];
        text += kAlphabet[(group >> 12) & 0x3f];
        text += kAlphabet[(group >> 6) & 0x3f];
        text += kAlphabet[group & 0x3f];
    }
    const size_t rest = input.size() - i;
    if (rest > 0) {
        const uint32_t group =
            (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
        text += kAlphabet[(group >> 18) & 0x3f];
        text += kAlphabet[(group >> 12) & 0x3f];
        text += rest == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
        text += '=';
    }
    output = std::move(text);
    return VORN_OK;
}

}  // namespace vorn
