#include "agent/networkadapters.h"

#include <netdb.h>

namespace vorn {

void FormatMACAddress(const unsigned char* address, unsigned length, std::string& text) {
    if (address == nullptr) {
        return;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string formatted;
    for (unsigned i = 0; i < length; ++i) {
        if (i != 0) {
            formatted += '-';
        }
        formatted += kHex[address[i] >> 4];
        formatted += kHex[address[i] & 0x0f];
    }
    text = std::move(formatted);
}

bool AddressToString(const UnicastAddress& address, std::string& text) {
    if (address.m_length == 0) {
        return false;
    }
    char buffer[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address.m_address), address.m_length, buffer,
                    sizeof(buffer), nullptr, 0, NI_NUMERICHOST) != 0) {
        return false;
    }
    text = buffer;
    return true;
}

}  // namespace vorn
