// Readiness and status for the service manager.
//
// Under systemd (Type=notify) the agent reports READY=1 once its endpoint
// serves, and a one-line STATUS= after every identity outcome, which
// "systemctl status vorn" shows. Without a service manager (NOTIFY_SOCKET
// unset: manual runs, tests) both calls do nothing.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// READY=1: the agent's endpoint serves.
void NotifyServiceReady();

// STATUS=<status>; line breaks are replaced, as the status is one line.
void NotifyServiceStatus(const std::string& status);

// Writes 'line' (escaped, one line) and a line break to standard error in
// one write; under systemd the unit sends it to the journal.
void WriteJournalLine(const std::string& line);

// "rate-limited until 2026-12-10 14:05:00 UTC" for a time in seconds since
// 1970-01-01 UTC.
std::string RateLimitedStatus(int64_t retryAtSeconds);

}  // namespace vorn
