#include "agent/devicekeyblob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/linux/fdio.h"

namespace vorn {

namespace {

constexpr char kMagic[] = "VORNTPMK";
constexpr size_t kMagicSize = 8;
constexpr unsigned char kVersion = 1;

bool ReadField(const std::string& bytes, size_t& offset, std::string& field, const char* name,
               std::string& why) {
    if (bytes.size() - offset < 2) {
        why = std::string("the file ends before the ") + name;
        return false;
    }
    const size_t length = (static_cast<size_t>(static_cast<unsigned char>(bytes[offset])) << 8) |
                          static_cast<unsigned char>(bytes[offset + 1]);
    offset += 2;
    if (length == 0 || length > kMaxDeviceKeyField) {
        why = std::string("the ") + name + " has an impossible length";
        return false;
    }
    if (bytes.size() - offset < length) {
        why = std::string("the ") + name + " runs past the end of the file";
        return false;
    }
    field.assign(bytes, offset, length);
    offset += length;
    return true;
}

void AppendField(const std::string& field, std::string& out) {
    out += static_cast<char>((field.size() >> 8) & 0xFF);
    out += static_cast<char>(field.size() & 0xFF);
    out += field;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool ParseDeviceKeyBlob(const std::string& bytes, DeviceKeyBlob& blob, std::string& why) {
    if (bytes.size() < kMagicSize + 1 || bytes.compare(0, kMagicSize, kMagic) != 0) {
        why = "not a device key file";
        return false;
    }
    if (static_cast<unsigned char>(bytes[kMagicSize]) != kVersion) {
        why = "unknown device key file version";
        return false;
    }
    size_t offset = kMagicSize + 1;
    DeviceKeyBlob parsed;
    if (!ReadField(bytes, offset, parsed.m_strSpki, "public key", why) ||
        !ReadField(bytes, offset, parsed.m_strPublicPart, "public part", why) ||
        !ReadField(bytes, offset, parsed.m_strPrivatePart, "private part", why)) {
        return false;
    }
    if (offset != bytes.size()) {
        why = "bytes after the private part";
        return false;
    }
    blob = std::move(parsed);
    return true;
}

std::string SerializeDeviceKeyBlob(const DeviceKeyBlob& blob) {
    for (const std::string* field :
         {&blob.m_strSpki, &blob.m_strPublicPart, &blob.m_strPrivatePart}) {
        if (field->empty() || field->size() > kMaxDeviceKeyField) {
            return {};
        }
    }
    std::string out(kMagic, kMagicSize);
    out += static_cast<char>(kVersion);
    AppendField(blob.m_strSpki, out);
    AppendField(blob.m_strPublicPart, out);
    AppendField(blob.m_strPrivatePart, out);
    return out;
}

DeviceKeyFileState ReadDeviceKeyFile(const std::string& path, DeviceKeyBlob& blob,
                                     std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return DeviceKeyFileState::kMissing;
        }
        if (errno == ELOOP) {
            why = "a symbolic link in its place";
            return DeviceKeyFileState::kUnusable;
        }
        why = Errno("cannot open it");
        return DeviceKeyFileState::kUnreadable;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        return DeviceKeyFileState::kUnusable;
    }
    std::string bytes;
    char buffer[1024];
    bool tooLarge = false;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            why = Errno("cannot read it");
            ::close(fd);
            return DeviceKeyFileState::kUnreadable;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<size_t>(n) > kMaxDeviceKeyFile) {
            tooLarge = true;
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (tooLarge) {
        why = "larger than any device key file";
        return DeviceKeyFileState::kUnusable;
    }
    return ParseDeviceKeyBlob(bytes, blob, why) ? DeviceKeyFileState::kRead
                                                : DeviceKeyFileState::kUnusable;
}

bool WriteDeviceKeyFile(const std::string& path, const DeviceKeyBlob& blob, std::string& why) {
    const std::string bytes = SerializeDeviceKeyBlob(blob);
    if (bytes.empty()) {
        why = "the key's parts are empty or too long";
        return false;
    }
    const std::string tempPath = path + ".tmp";
    // A leftover temporary file (or something planted in its place) goes
    // first: O_EXCL below never opens what is already there.
    (void)::unlink(tempPath.c_str());
    const int fd = ::open(tempPath.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = Errno(("cannot create " + tempPath).c_str());
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    if (!ok) {
        why = Errno(("cannot write " + tempPath).c_str());
    }
    if (::close(fd) != 0 && ok) {
        why = Errno(("cannot write " + tempPath).c_str());
        ok = false;
    }
    if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) {
        why = Errno(("cannot rename " + tempPath).c_str());
        ok = false;
    }
    if (!ok) {
        (void)::unlink(tempPath.c_str());
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace vorn
