// The agent's authenticated local endpoint: a Unix sequential-packet socket
// (default /run/vorn/vorn.sock) that speaks the same two-byte request and
// four-byte answer as the loopback datagram endpoint.
//
// Unlike a UDP answer, which any local user can forge, every packet here
// travels on a connection whose ends the kernel names: a client learns the
// agent's uid from SO_PEERCRED before it sends, and the agent learns each
// client's uid and pid when it accepts. Nobody else can read a request or
// inject an answer on that connection.
//
// Threading: one server thread owns the listening socket and every
// connection; it accepts, reads, and performs every send. The callback runs on
// it, one packet at a time. Other threads only queue answers (SendAsync),
// which wake the thread through an eventfd; the destructor wakes it the same
// way and joins it. Nothing the thread does blocks: every socket is
// non-blocking, so a client that never reads its answers is disconnected
// instead of holding anyone up.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vorn {

// Where the agent's trusted local socket lives unless told otherwise.
constexpr const char* kLocalSocketPath = "/run/vorn/vorn.sock";

// Who is on the other end of an accepted connection, as the kernel reports
// it. 'id' is never reused within a process, so an answer for a client that
// has gone cannot reach a later one that got the same descriptor.
struct LocalClient {
    uint64_t id = 0;
    uid_t uid = 0;
    pid_t pid = 0;
};

class CUnixIpcServer {
public:
    using MsgCallback = std::function<void(const std::string&, const LocalClient&)>;

    // Connections served at once. One beyond it is accepted and closed at
    // once, so a user who opens thousands cannot exhaust the agent's
    // descriptors or its memory.
    static constexpr size_t kMaxClients = 256;
    // Answers queued for one connection and not yet taken by its client;
    // beyond it the client is disconnected.
    static constexpr size_t kMaxQueuedAnswers = 64;

    // Serves 'path': takes the socket the service manager passed for it, or
    // else binds it (creating the directory 0755 when missing; the directory
    // must belong to root or to this process's user and be writable by its
    // owner only; a stale socket left by a dead agent is replaced, a live one
    // is not) and makes it 0666, so that every local user may ask. Returns
    // once the thread serves. Throws std::invalid_argument for an empty
    // callback or a path too long for a socket address, std::runtime_error
    // with a text naming the path and the reason otherwise.
    CUnixIpcServer(const std::string& path, MsgCallback callback);
    // Stops and joins the thread, closes every connection and, when this
    // process bound the path, removes it. Not from inside the callback.
    ~CUnixIpcServer();

    CUnixIpcServer(const CUnixIpcServer&) = delete;
    CUnixIpcServer& operator=(const CUnixIpcServer&) = delete;

    // Queues 'message' for the client with this id and returns at once. False
    // when the client is not connected any more (its answer is dropped). Any
    // thread, including the callback.
    bool SendAsync(uint64_t clientId, const std::string& message);

    const std::string& Path() const { return m_path; }

private:
    struct Connection {
        int fd = -1;
        LocalClient client;
        std::vector<std::string> answers;  // oldest first; guarded by m_mutex
    };

    void bindPath();
    void run();
    void acceptClients();
    // Reads what one connection sent; false when it is to be closed.
    bool readClient(Connection& connection);
    // Sends what is queued; false when the connection is to be closed.
    bool flushClient(Connection& connection);
    void closeClient(uint64_t id);

    std::string m_path;
    MsgCallback m_callback;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    bool m_boundHere = false;
    dev_t m_boundDev = 0;  // the socket file this process created
    ino_t m_boundIno = 0;
    uint64_t m_nextId = 1;  // server thread only
    std::mutex m_mutex;
    std::unordered_map<uint64_t, Connection> m_clients;  // guarded by m_mutex
    bool m_stopping = false;                             // guarded by m_mutex
    std::thread m_thread;
};

}  // namespace vorn
