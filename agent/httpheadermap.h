// HTTP header names compare without regard to ASCII letter case: a proxy
// that lower-cases "Retry-After" still sends the same header.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace vorn {

struct HeaderNameLess {
    bool operator()(const std::string& left, const std::string& right) const {
        const size_t common = left.size() < right.size() ? left.size() : right.size();
        for (size_t i = 0; i < common; ++i) {
            const unsigned char a = Fold(left[i]);
            const unsigned char b = Fold(right[i]);
            if (a != b) {
                return a < b;
            }
        }
        return left.size() < right.size();
    }

private:
    // ASCII only: header names are tokens, and a locale must not change
    // which names are equal.
    static unsigned char Fold(char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
    }
};

// Name -> value; one entry per name whatever its case, the first one kept
// (std::map::emplace never replaces).
using HttpHeaderMap = std::map<std::string, std::string, HeaderNameLess>;

}  // namespace vorn
