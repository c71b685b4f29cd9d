// A software TPM (swtpm) on loopback ports for tests of the device key: its
// own state directory, started fresh and stopped again, and a loopback
// server that accepts TPM connections and never answers (a stalled TPM).
#pragma once

#include <memory>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {

class SoftwareTpm {
public:
    // Empty when swtpm can be started here; otherwise why not (for GTEST_SKIP).
    static std::string Unavailable();

    // Starts swtpm with a new state directory, or with 'stateDir' (a copy of
    // another's state: the same TPM). Check Running().
    explicit SoftwareTpm(const std::string& stateDir = {});
    ~SoftwareTpm();
    SoftwareTpm(const SoftwareTpm&) = delete;
    SoftwareTpm& operator=(const SoftwareTpm&) = delete;

    bool Running() const { return m_port != 0; }
    // "swtpm:host=127.0.0.1,port=P"
    std::string Tcti() const;
    const std::string& StateDir() const { return m_strStateDir; }
    // Stops swtpm (its state is kept in StateDir) and starts it again on the
    // same ports; false when it does not come back.
    bool Restart();

private:
    bool start();
    void stop();

    std::unique_ptr<TempDir> m_ownState;
    std::string m_strStateDir;
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

// A loopback TCP server that accepts every connection and reads, but never
// answers: a TPM that has stopped responding. Stops with the object.
class SilentTpm {
public:
    SilentTpm();
    ~SilentTpm();
    SilentTpm(const SilentTpm&) = delete;
    SilentTpm& operator=(const SilentTpm&) = delete;
    std::string Tcti() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vorn::test
