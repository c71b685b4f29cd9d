// A stand-in for the sibling product's crash server, for tests: listens on an
// abstract socket, accepts registrations, and on a crash writes the client's
// core from /proc/<pid>/mem into its own directory before acknowledging.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent/linux/coredumpwriter.h"

namespace vorn::test {

class CrashServerStandIn {
public:
    enum class Behaviour {
        eWriteDumps,       // register, then write each crash's dump and acknowledge
        eNeverAcknowledge  // register, then keep crash requests unanswered
    };

    // Starts listening at once; the thread runs until destruction.
    CrashServerStandIn(const std::string& name, const std::string& dumpDirectory,
                       Behaviour behaviour);
    ~CrashServerStandIn();
    CrashServerStandIn(const CrashServerStandIn&) = delete;
    CrashServerStandIn& operator=(const CrashServerStandIn&) = delete;

    int Registrations() const { return m_nRegistrations.load(); }
    int CrashRequests() const { return m_nCrashRequests.load(); }

private:
    void Run();
    void Serve(int connection);

    std::string m_strDumpDirectory;
    Behaviour m_eBehaviour;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    CoreDumpScratch m_scratch;
    std::vector<int> m_heldConnections;  // unanswered crashes (thread-owned)
    std::atomic<int> m_nRegistrations{0};
    std::atomic<int> m_nCrashRequests{0};
    std::thread m_thread;
};

}  // namespace vorn::test
