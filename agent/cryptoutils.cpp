#include "agent/cryptoutils.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace vorn {

// Both are small enough to carry here, and doing so keeps the collection (and
// with it `vornctl attributes`) free of the TLS library, whose loading and
// symbol binding cost more than the collection itself.

namespace {

uint32_t rotateLeft(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// One 64-byte block of FIPS 180-4 SHA-1 into 'state'.
void sha1Block(std::array<uint32_t, 5>& state, const unsigned char* block) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) |
               (uint32_t{block[4 * i + 2]} << 8) | uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 80; ++i) {
        w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f = 0;
        uint32_t k = 0;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotateLeft(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

VORN_STATUS GetSHA1Hash(const unsigned char* data, size_t length, std::string& digest) {
    if (data == nullptr) {
        return VORN_INVALID_ARGUMENT;
    }
    std::array<uint32_t, 5> state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    size_t offset = 0;
    for (; length - offset >= 64; offset += 64) {
        sha1Block(state, data + offset);
    }
    // The tail, the 0x80 marker and the message length in bits (big-endian)
    // fill one or two final blocks.
    unsigned char tail[128] = {};
    const size_t rest = length - offset;
    memcpy(tail, data + offset, rest);
    tail[rest] = 0x80;
    const size_t tailLength = rest + 9 <= 64 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i) {
        tail[tailLength - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    for (size_t block = 0; block < tailLength; block += 64) {
        sha1Block(state, tail + block);
    }

    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(40);
    for (const uint32_t word : state) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            text += kHex[(word >> shift) & 0x0f];
        }
    }
    digest = std::move(text);
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
