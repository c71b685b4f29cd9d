// The pipe protocol between the agent and "vorn-tpm", the helper process
// that alone links the TPM software stack. The agent starts one helper per
// TPM session and only when the device key is switched on, so an agent
// without the option neither maps the stack's libraries nor starts anything.
// A process, not a thread: the stack has waits no time-out bounds (its
// control channel blocks until the TPM answers), and only a process can be
// ended cleanly at any instant.
//
//   vorn-tpm <tcti> <command timeout ms>
//
// Every message either way is a frame: a 32-bit big-endian length (at most
// kMaxFrame) and that many bytes, a command or status byte then fields, each
// a 16-bit big-endian length and its bytes.
//   on start         helper -> status; on kOk the storage primary key is ready
//   'L' pub priv     helper -> status, then spki (kOk) or a message
//   'C'              helper -> status, then pub priv spki (kOk) or a message
//   'S' digest       helper -> status, then DER signature (kOk) or a message
// The helper ends, flushing what it loaded, when its input closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::tpmhelper {

constexpr size_t kMaxFrame = 8192;

enum Status : uint8_t {
    kOk = 0,
    kRefused = 1,  // the TPM refused the key: it is not this TPM's
    kFailed = 2,   // anything else: the message says what
};

// Appends one field.
inline void PutField(std::string& frame, const std::string& field) {
    frame += static_cast<char>((field.size() >> 8) & 0xFF);
    frame += static_cast<char>(field.size() & 0xFF);
    frame += field;
}

// Splits 'payload' from 'offset' into fields; false when they do not fit it
// exactly.
inline bool GetFields(const std::string& payload, size_t offset, std::vector<std::string>& fields) {
    fields.clear();
    while (offset < payload.size()) {
        if (payload.size() - offset < 2) {
            return false;
        }
        const size_t length =
            (static_cast<size_t>(static_cast<unsigned char>(payload[offset])) << 8) |
            static_cast<unsigned char>(payload[offset + 1]);
        offset += 2;
        if (payload.size() - offset < length) {
            return false;
        }
        fields.emplace_back(payload, offset, length);
        offset += length;
    }
    return true;
}

inline std::string Frame(const std::string& payload) {
    std::string out;
    const uint32_t n = static_cast<uint32_t>(payload.size());
    out += static_cast<char>((n >> 24) & 0xFF);
    out += static_cast<char>((n >> 16) & 0xFF);
    out += static_cast<char>((n >> 8) & 0xFF);
    out += static_cast<char>(n & 0xFF);
    out += payload;
    return out;
}

}  // namespace vorn::tpmhelper
