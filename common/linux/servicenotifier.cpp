#include "common/linux/servicenotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <ctime>

#include "common/textescape.h"

namespace vorn {

namespace {

// Status text may carry an error message from the cloud: one printable line,
// bounded, whatever it holds.
constexpr size_t kMaxStatusBytes = 400;

// The notification protocol: one datagram of "KEY=value" lines to the Unix
// socket named by NOTIFY_SOCKET (a path, or an abstract name after '@').
// Spoken directly rather than through the service manager's client library,
// which would stay mapped in the idle agent for a few datagrams. The variable
// is kept, so every later status still reaches the manager. Best effort and
// never blocking: a manager that does not read must not stall an outcome.
void Notify(const std::string& fields) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t nameLength = std::strlen(name);
    if (nameLength < 2 || nameLength > sizeof(address.sun_path)) {
        return;
    }
    std::memcpy(address.sun_path, name, nameLength);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nameLength +
                                                    (name[0] == '/' ? 1 : 0));
    (void)::sendto(fd, fields.data(), fields.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
}

}  // namespace

void NotifyServiceReady() {
    Notify("READY=1");
}

void NotifyServiceStatus(const std::string& status) {
    Notify("STATUS=" + EscapeUntrusted(status, kMaxStatusBytes));
}

void WriteJournalLine(const std::string& line) {
    const std::string text = EscapeUntrusted(line, kMaxStatusBytes) + "\n";
    // One write, so the line is never interleaved with another thread's.
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

std::string RateLimitedStatus(int64_t retryAtSeconds) {
    const time_t when = static_cast<time_t>(retryAtSeconds);
    tm utc{};
    char text[64];
    if (gmtime_r(&when, &utc) == nullptr ||
        strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc) == 0) {
        return "rate-limited";
    }
    return std::string("rate-limited until ") + text;
}

}  // namespace vorn
