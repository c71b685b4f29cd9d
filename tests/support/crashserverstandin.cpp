#include "tests/support/crashserverstandin.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "agent/linux/crashserverprotocol.h"

namespace vorn::test {

CrashServerStandIn::CrashServerStandIn(const std::string& name, const std::string& dumpDirectory,
                                       Behaviour behaviour)
    : m_strDumpDirectory(dumpDirectory), m_eBehaviour(behaviour) {
    if (!ReserveCoreDumpScratch(&m_scratch)) {
        throw std::runtime_error("no scratch memory");
    }
    struct sockaddr_un address {};
    const socklen_t length = MakeCrashServerAddress(name.c_str(), &address);
    m_listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (length == 0 || m_listenFd < 0 ||
        bind(m_listenFd, reinterpret_cast<struct sockaddr*>(&address), length) != 0 ||
        listen(m_listenFd, 8) != 0) {
        throw std::runtime_error("crash server stand-in cannot listen");
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { Run(); });
}

CrashServerStandIn::~CrashServerStandIn() {
    const uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
    m_thread.join();
    close(m_listenFd);
    close(m_wakeFd);
    munmap(m_scratch.memory, m_scratch.size);
}

void CrashServerStandIn::Run() {
    for (;;) {
        struct pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) {
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int connection = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                Serve(connection);
            }
        }
    }
    for (const int fd : m_heldConnections) {
        close(fd);
    }
}

void CrashServerStandIn::Serve(int connection) {
    CrashRequest request{};
    struct pollfd pfd {
        connection, POLLIN, 0
    };
    if (poll(&pfd, 1, 2000) <= 0 ||
        recv(connection, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request) ||
        request.magic != kCrashMagic || request.version != kCrashProtocolVersion) {
        close(connection);
        return;
    }
    CrashReply reply{};
    reply.magic = kCrashMagic;
    reply.version = kCrashProtocolVersion;
    if (request.type == eCrashRequestRegister) {
        ++m_nRegistrations;
        reply.type = eCrashReplyRegistered;
    } else {
        ++m_nCrashRequests;
        if (m_eBehaviour == Behaviour::eNeverAcknowledge) {
            m_heldConnections.push_back(connection);
            return;
        }
        user_regs_struct regs{};
        memcpy(&regs, request.regs, sizeof regs);
        CoreDumpRequest dump;
        dump.pid = request.pid;
        dump.tid = request.tid;
        dump.signo = request.signo;
        dump.code = request.code;
        dump.address = request.address;
        dump.regs = &regs;
        dump.fullMemory = request.dumpType == 2;
        const std::string path =
            m_strDumpDirectory + "/server-" + std::to_string(request.pid) + ".core";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int result = fd < 0 ? errno : WriteCoreDump(fd, dump, m_scratch);
        if (fd >= 0) {
            close(fd);
        }
        reply.type = result == 0 ? eCrashReplyDumpWritten : eCrashReplyDumpFailed;
        reply.status = result;
    }
    (void)send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
    close(connection);
}

}  // namespace vorn::test
