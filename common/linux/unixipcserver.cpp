#include "common/linux/unixipcserver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/ipcmessage.h"
#include "common/linux/listensocket.h"
#include "common/linux/processstop.h"
#include "common/logratelimit.h"
#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// Packets read from one connection before the thread turns to the others: a
// client that sends without pause cannot starve the rest.
constexpr int kReadsPerTurn = 16;

std::runtime_error Failure(const std::string& path, const std::string& what, int error) {
    return std::runtime_error("local socket " + EscapeUntrusted(path) + ": " + what + ": " +
                              strerror(error));
}

sockaddr_un AddressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path) ||
        path.find('\0') != std::string::npos) {
        throw std::invalid_argument("local socket path is empty or too long: " +
                                    EscapeUntrusted(path));
    }
    path.copy(address.sun_path, path.size());
    return address;
}

// The directory holding the socket decides who may replace it: only root or
// the agent's own user may own it, and nobody else may write to it.
void CheckDirectory(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (::mkdir(directory.c_str(), 0755) == 0) {
        // The umask may have narrowed it; clients of every user must reach
        // the socket.
        (void)::chmod(directory.c_str(), 0755);
    } else if (errno != EEXIST) {
        throw Failure(path, "cannot create the directory " + EscapeUntrusted(directory), errno);
    }
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) {
        throw Failure(path, "cannot examine the directory " + EscapeUntrusted(directory), errno);
    }
    if (!S_ISDIR(info.st_mode) || (info.st_uid != 0 && info.st_uid != ::geteuid()) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw std::runtime_error("local socket " + EscapeUntrusted(path) + ": the directory " +
                                 EscapeUntrusted(directory) +
                                 " must be a directory of root or of the agent's user, writable "
                                 "by its owner only");
    }
}

}  // namespace

CUnixIpcServer::CUnixIpcServer(const std::string& path, MsgCallback callback)
    : m_path(path), m_callback(std::move(callback)) {
    if (!m_callback) {
        throw std::invalid_argument("callback function is null");
    }
    (void)AddressOf(path);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        throw Failure(path, "eventfd", errno);
    }
    m_listenFd = TakeUnixListenSocket(path);
    if (m_listenFd >= 0) {
        const int flags = ::fcntl(m_listenFd, F_GETFL);
        (void)::fcntl(m_listenFd, F_SETFL, flags | O_NONBLOCK);
    } else {
        try {
            bindPath();
        } catch (...) {
            ::close(m_wakeFd);
            throw;
        }
    }
    try {
        m_thread = std::thread(&CUnixIpcServer::run, this);
    } catch (const std::exception& e) {
        ::close(m_listenFd);
        ::close(m_wakeFd);
        if (m_boundHere) {
            (void)::unlink(m_path.c_str());
        }
        throw std::runtime_error(std::string("local socket thread: ") + e.what());
    }
    VORN_LOG_DEBUG("Serving local clients on %s", EscapeUntrusted(m_path).c_str());
}

CUnixIpcServer::~CUnixIpcServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    const uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (auto& entry : m_clients) {
        ::close(entry.second.fd);
    }
    m_clients.clear();
    // Only our own socket: an agent started after this one was declared dead
    // may have replaced it already, and then the file is another.
    struct stat info {};
    if (m_boundHere && ::lstat(m_path.c_str(), &info) == 0 && info.st_dev == m_boundDev &&
        info.st_ino == m_boundIno) {
        (void)::unlink(m_path.c_str());
    }
    ::close(m_listenFd);
    ::close(m_wakeFd);
}

void CUnixIpcServer::bindPath() {
    const sockaddr_un address = AddressOf(m_path);
    CheckDirectory(m_path);

    m_listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        throw Failure(m_path, "socket", errno);
    }
    auto fail = [this](const std::string& what, int error) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return Failure(m_path, what, error);
    };

    struct stat info {};
    if (::lstat(m_path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            throw fail("a file that is not a socket is in the way", EEXIST);
        }
        // A socket nobody accepts on is what a dead agent leaves behind; one
        // that answers belongs to a running agent and is kept.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const bool live =
            probe >= 0 &&
            ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) {
            ::close(probe);
        }
        if (live) {
            throw fail("another agent serves it", EADDRINUSE);
        }
        if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) {
            throw fail("cannot remove the stale socket", errno);
        }
    }
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw fail("bind", errno);
    }
    m_boundHere = true;
    if (::lstat(m_path.c_str(), &info) == 0) {
        m_boundDev = info.st_dev;
        m_boundIno = info.st_ino;
    }
    if (::chmod(m_path.c_str(), 0666) != 0 || ::listen(m_listenFd, SOMAXCONN) != 0) {
        const int error = errno;
        (void)::unlink(m_path.c_str());
        m_boundHere = false;
        throw fail("cannot open it to local clients", error);
    }
}

bool CUnixIpcServer::SendAsync(uint64_t clientId, const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_clients.find(clientId);
        if (it == m_clients.end() || m_stopping) {
            return false;
        }
        it->second.answers.push_back(message);
    }
    const uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
    return true;
}

void CUnixIpcServer::run() {
    try {
        std::vector<pollfd> fds;
        std::vector<uint64_t> ids;
        for (;;) {
            fds.clear();
            ids.clear();
            fds.push_back(pollfd{m_wakeFd, POLLIN, 0});
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopping) {
                    return;
                }
                // No new connection while the table is full: the listener
                // is looked at again once a client has gone.
                fds.push_back(
                    pollfd{m_listenFd,
                           static_cast<short>(m_clients.size() < kMaxClients ? POLLIN : 0), 0});
                for (const auto& entry : m_clients) {
                    short events = POLLIN;
                    if (!entry.second.answers.empty()) {
                        events |= POLLOUT;
                    }
                    fds.push_back(pollfd{entry.second.fd, events, 0});
                    ids.push_back(entry.first);
                }
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::runtime_error(std::string("poll: ") + strerror(errno));
            }
            if (fds[0].revents != 0) {
                uint64_t count = 0;
                (void)!::read(m_wakeFd, &count, sizeof count);
            }
            if ((fds[1].revents & POLLIN) != 0) {
                acceptClients();
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                const uint64_t id = ids[i - 2];
                Connection* connection = nullptr;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    auto it = m_clients.find(id);
                    connection = it == m_clients.end() ? nullptr : &it->second;
                }
                // Only this thread erases entries, so the pointer stays valid.
                if (connection == nullptr) {
                    continue;
                }
                bool keep = true;
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    keep = readClient(*connection);
                }
                // Answers queued while polling, or just now by the callback.
                if (keep) {
                    keep = flushClient(*connection);
                }
                if (!keep) {
                    closeClient(id);
                }
            }
        }
    } catch (const std::exception& e) {
        EndProcessAfterThreadFailure("local IPC", e.what());
    }
}

void CUnixIpcServer::acceptClients() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                VORN_LOG_LIMITED_ERROR("Failed to accept a local client: %s", strerror(errno));
            }
            return;
        }
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
            VORN_LOG_LIMITED_ERROR("Failed to get a local client's credentials: %s",
                                   strerror(errno));
            ::close(fd);
            continue;
        }
        Connection connection;
        connection.fd = fd;
        connection.client = LocalClient{m_nextId++, credentials.uid, credentials.pid};
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_clients.size() >= kMaxClients) {
            VORN_LOG_LIMITED_WARNING("Refused local client uid %u pid %d: %zu clients connected",
                                     static_cast<unsigned>(credentials.uid),
                                     static_cast<int>(credentials.pid), m_clients.size());
            ::close(fd);
            return;
        }
        VORN_LOG_LIMITED_DEBUG("Local client connected: uid %u pid %d",
                               static_cast<unsigned>(credentials.uid),
                               static_cast<int>(credentials.pid));
        m_clients.emplace(connection.client.id, std::move(connection));
    }
}

bool CUnixIpcServer::readClient(Connection& connection) {
    char buffer[kIpcMaxMessageSize];
    for (int i = 0; i < kReadsPerTurn; ++i) {
        // MSG_TRUNC: the packet's real length, so one longer than the buffer
        // is recognised, as on the datagram endpoint.
        const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        if (n == 0) {
            return false;  // the client closed its end
        }
        if (static_cast<size_t>(n) > sizeof buffer) {
            VORN_LOG_LIMITED_ERROR("Local client uid %u pid %d sent %zd bytes, more than %zu",
                                   static_cast<unsigned>(connection.client.uid),
                                   static_cast<int>(connection.client.pid), n, sizeof buffer);
            continue;
        }
        try {
            m_callback(std::string(buffer, static_cast<size_t>(n)), connection.client);
        } catch (const std::exception& e) {
            VORN_LOG_LIMITED_ERROR("Exception while handling a local request: %s", e.what());
        }
    }
    return true;
}

bool CUnixIpcServer::flushClient(Connection& connection) {
    std::vector<std::string> answers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        answers.swap(connection.answers);
    }
    size_t sent = 0;
    for (; sent < answers.size(); ++sent) {
        const std::string& answer = answers[sent];
        if (::send(connection.fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            return false;  // the client has gone
        }
    }
    if (sent == answers.size()) {
        return true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    // Put back what the client has not taken yet, ahead of anything newer.
    answers.erase(answers.begin(), answers.begin() + static_cast<std::ptrdiff_t>(sent));
    answers.insert(answers.end(), connection.answers.begin(), connection.answers.end());
    connection.answers.swap(answers);
    if (connection.answers.size() > kMaxQueuedAnswers) {
        VORN_LOG_LIMITED_WARNING(
            "Disconnected local client uid %u pid %d: it does not read its "
            "answers",
            static_cast<unsigned>(connection.client.uid), static_cast<int>(connection.client.pid));
        return false;
    }
    return true;
}

void CUnixIpcServer::closeClient(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_clients.find(id);
    if (it != m_clients.end()) {
        ::close(it->second.fd);
        m_clients.erase(it);
    }
}

}  // namespace vorn
