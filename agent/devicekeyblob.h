// The device key file ("vorndevicekey.tpm" in the data directory): the
// public key and the key's two parts as the TPM wrapped them. The private
// part is encrypted under a key that never leaves that TPM, so the file is
// useless anywhere else; it is still kept to root (0600) like the store.
//
// Layout: the 8 bytes "VORNTPMK", a version byte (1), then three fields,
// each a big-endian 16-bit length and that many bytes: the
// SubjectPublicKeyInfo (DER), the TPM2B_PUBLIC and the TPM2B_PRIVATE. The
// key's own tools need nothing else; the public key lets a reader (vornctl)
// show the fingerprint without talking to the TPM.
#pragma once

#include <cstddef>
#include <string>

namespace vorn {

struct DeviceKeyBlob {
    std::string m_strSpki;         // DER SubjectPublicKeyInfo
    std::string m_strPublicPart;   // TPM2B_PUBLIC, marshalled
    std::string m_strPrivatePart;  // TPM2B_PRIVATE, marshalled
};

// Every field is at most this long, so a file is at most a few kilobytes.
constexpr size_t kMaxDeviceKeyField = 1024;
constexpr size_t kMaxDeviceKeyFile = 8 + 1 + 3 * (2 + kMaxDeviceKeyField);

// Reads the layout above. Refuses (false, 'why' says what) a wrong magic or
// version, an empty or overlong field, a field that runs past the end, and
// bytes after the last field.
bool ParseDeviceKeyBlob(const std::string& bytes, DeviceKeyBlob& blob, std::string& why);

// The bytes of the layout; empty when a field is empty or too long.
std::string SerializeDeviceKeyBlob(const DeviceKeyBlob& blob);

enum class DeviceKeyFileState { kRead, kMissing, kUnusable, kUnreadable };

// Reads and parses the file without following a link and without blocking on
// a FIFO. kMissing when there is no file, kUnreadable (with 'why') when it
// cannot be opened or read, kUnusable (with 'why') when what is there is not
// a well-formed key file.
DeviceKeyFileState ReadDeviceKeyFile(const std::string& path, DeviceKeyBlob& blob,
                                     std::string& why);

// Writes the file as the store is written: "<path>.tmp" (0600), flushed,
// renamed over the file, the directory flushed. False with 'why' on failure;
// the old file is then still in place.
bool WriteDeviceKeyFile(const std::string& path, const DeviceKeyBlob& blob, std::string& why);

}  // namespace vorn
