#include "common/linux/servicenotifier.h"

#include <systemd/sd-daemon.h>

#include <ctime>

#include "common/textescape.h"

namespace vorn {

namespace {

// Status text may carry an error message from the cloud: one printable line,
// bounded, whatever it holds.
constexpr size_t kMaxStatusBytes = 200;

void Notify(const std::string& fields) {
    // 0: keep NOTIFY_SOCKET, so every later status still reaches the manager.
    (void)sd_notify(0, fields.c_str());
}

}  // namespace

void NotifyServiceReady() {
    Notify("READY=1");
}

void NotifyServiceStatus(const std::string& status) {
    Notify("STATUS=" + EscapeUntrusted(status, kMaxStatusBytes));
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
