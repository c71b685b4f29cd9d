#include "tests/support/swtpm.h"

#include "tests/support/cloudservice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace vorn::test {

namespace {

constexpr const char* kSwtpm = "/usr/bin/swtpm";

// Binds (to see the port free) or connects (to see it served) a TCP socket
// on 127.0.0.1:'port'.
bool LoopbackTcp(int port, bool connectTo) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const auto* where = reinterpret_cast<sockaddr*>(&address);
    const bool ok =
        (connectTo ? connect(fd, where, sizeof address) : bind(fd, where, sizeof address)) == 0;
    close(fd);
    return ok;
}

bool PortFree(int port) {
    return LoopbackTcp(port, false);
}

bool Accepts(int port) {
    return LoopbackTcp(port, true);
}

}  // namespace

std::string SoftwareTpm::Unavailable() {
    if (access(kSwtpm, X_OK) != 0) {
        return "swtpm is not installed (Debian packages swtpm, swtpm-tools)";
    }
    return {};
}

SoftwareTpm::SoftwareTpm(const std::string& stateDir) {
    if (stateDir.empty()) {
        m_ownState = std::make_unique<TempDir>();
        m_strStateDir = m_ownState->path();
    } else {
        m_strStateDir = stateDir;
    }
    // Two neighbouring free ports; another process may take one meanwhile,
    // so a failed start tries other ports.
    for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt) {
        int port = ClosedLoopbackTcpPort();
        if (port == 0 || port >= 65535 || !PortFree(port + 1)) {
            continue;
        }
        m_port = port;
        if (!start()) {
            stop();
            m_port = 0;
        }
    }
}

SoftwareTpm::~SoftwareTpm() {
    stop();
}

std::string SoftwareTpm::Tcti() const {
    return "swtpm:host=127.0.0.1,port=" + std::to_string(m_port);
}

bool SoftwareTpm::start() {
    ChildProcess::Options options;
    options.args = {kSwtpm,
                    "socket",
                    "--tpm2",
                    "--server",
                    "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(m_port),
                    "--ctrl",
                    "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(m_port + 1),
                    "--tpmstate",
                    "dir=" + m_strStateDir,
                    "--flags",
                    "not-need-init,startup-clear"};
    options.stdinMode = ChildProcess::Stdin::DevNull;
    m_process = std::make_unique<ChildProcess>(options);
    const int port = m_port;
    return WaitUntil([port] { return Accepts(port); }, std::chrono::seconds(10));
}

void SoftwareTpm::stop() {
    if (m_process) {
        m_process->Signal(SIGTERM);
        if (!m_process->Wait(std::chrono::seconds(5))) {
            m_process->Signal(SIGKILL);
            (void)m_process->Wait(std::chrono::seconds(5));
        }
        m_process.reset();
    }
}

bool SoftwareTpm::Restart() {
    stop();
    return start();
}

struct SilentTpm::Impl {
    std::vector<int> listenFds;
    int port = 0;
    std::atomic<bool> stop{false};
    std::vector<int> accepted;
    std::thread thread;
};

SilentTpm::SilentTpm() : m_impl(std::make_unique<Impl>()) {
    Impl& impl = *m_impl;
    // The command port and, next to it, the control port; both stay silent.
    for (int attempt = 0; attempt < 5 && impl.port == 0; ++attempt) {
        const int port = ClosedLoopbackTcpPort();
        if (port == 0 || port >= 65535) {
            continue;
        }
        std::vector<int> fds;
        for (const int p : {port, port + 1}) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(p));
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(fd, 8) == 0) {
                fds.push_back(fd);
            } else if (fd >= 0) {
                close(fd);
            }
        }
        if (fds.size() == 2) {
            impl.listenFds = fds;
            impl.port = port;
        } else {
            for (const int fd : fds) {
                close(fd);
            }
        }
    }
    if (impl.port == 0) {
        return;
    }
    impl.thread = std::thread([&impl] {
        while (!impl.stop.load()) {
            pollfd pfds[2] = {{impl.listenFds[0], POLLIN, 0}, {impl.listenFds[1], POLLIN, 0}};
            if (poll(pfds, 2, 50) > 0) {
                for (const pollfd& pfd : pfds) {
                    if ((pfd.revents & POLLIN) != 0) {
                        const int fd = accept4(pfd.fd, nullptr, nullptr, SOCK_CLOEXEC);
                        if (fd >= 0) {
                            impl.accepted.push_back(fd);  // held open, never answered
                        }
                    }
                }
            }
        }
    });
}

SilentTpm::~SilentTpm() {
    m_impl->stop.store(true);
    if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
    for (const int fd : m_impl->accepted) {
        close(fd);
    }
    for (const int fd : m_impl->listenFds) {
        close(fd);
    }
}

std::string SilentTpm::Tcti() const {
    return "swtpm:host=127.0.0.1,port=" + std::to_string(m_impl->port);
}

}  // namespace vorn::test
