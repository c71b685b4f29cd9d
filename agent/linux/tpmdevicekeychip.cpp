#include "agent/linux/tpmdevicekeychip.h"

#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

#include "agent/linux/tpm/tpmhelperprotocol.h"
#include "common/linux/waitcanceller.h"

extern char** environ;

// Relative to the installation prefix, the directory above the agent's.
#ifndef VORN_TPM_HELPER_INSTALL_DIR
#define VORN_TPM_HELPER_INSTALL_DIR "lib/vorn"
#endif

namespace vorn {

namespace {

using namespace tpmhelper;
using Clock = std::chrono::steady_clock;

constexpr const char* kHelperName = "vorn-tpm";
constexpr const char* kCancelled = "the wait for the TPM was cancelled: the agent is stopping";

class HelperSession : public IDeviceKeySession {
public:
    HelperSession(pid_t pid, int fd, std::chrono::milliseconds answerTimeout,
                  const WaitCanceller* cancel)
        : m_pid(pid), m_fd(fd), m_answerTimeout(answerTimeout), m_pCancel(cancel) {}

    ~HelperSession() override {
        // Closing the socket ends the helper's input: it flushes what it
        // loaded and exits. It gets one answer time to do so, then is killed;
        // when the wait is cancelled, at once (the resource manager flushes
        // what a killed helper left in the TPM).
        if (m_fd >= 0) {
            (void)shutdown(m_fd, SHUT_WR);
            std::string ignored;
            (void)readAll(ignored, 1, Clock::now() + m_answerTimeout, true);
        }
        end();
    }
    HelperSession(const HelperSession&) = delete;
    HelperSession& operator=(const HelperSession&) = delete;

    // The helper's first answer: the TPM reached and the primary key made.
    bool Started(std::string& error) {
        Status status = kFailed;
        std::vector<std::string> fields;
        if (!receive(status, fields, error)) {
            return false;
        }
        if (status != kOk) {
            error = fields.empty() ? "the TPM helper failed" : fields[0];
            return false;
        }
        return true;
    }

    LoadResult Load(const DeviceKeyBlob& blob, std::string& spki, std::string& error) override {
        std::string command = "L";
        PutField(command, blob.m_strPublicPart);
        PutField(command, blob.m_strPrivatePart);
        Status status = kFailed;
        std::vector<std::string> fields;
        if (!call(command, status, fields, error)) {
            return LoadResult::kFailed;
        }
        if (status == kOk && fields.size() == 1) {
            spki = fields[0];
            return LoadResult::kLoaded;
        }
        error = fields.empty() ? "malformed answer from the TPM helper" : fields[0];
        return status == kRefused ? LoadResult::kRefused : LoadResult::kFailed;
    }

    bool Create(DeviceKeyBlob& blob, std::string& error) override {
        Status status = kFailed;
        std::vector<std::string> fields;
        if (!call("C", status, fields, error)) {
            return false;
        }
        if (status != kOk || fields.size() != 3) {
            error = fields.empty() ? "malformed answer from the TPM helper" : fields[0];
            return false;
        }
        blob.m_strPublicPart = fields[0];
        blob.m_strPrivatePart = fields[1];
        blob.m_strSpki = fields[2];
        return true;
    }

    bool Sign(const unsigned char (&digest)[32], std::string& signature,
              std::string& error) override {
        std::string command = "S";
        PutField(command, std::string(reinterpret_cast<const char*>(digest), sizeof digest));
        Status status = kFailed;
        std::vector<std::string> fields;
        if (!call(command, status, fields, error)) {
            return false;
        }
        if (status != kOk || fields.size() != 1) {
            error = fields.empty() ? "malformed answer from the TPM helper" : fields[0];
            return false;
        }
        signature = fields[0];
        return true;
    }

private:
    bool call(const std::string& command, Status& status, std::vector<std::string>& fields,
              std::string& error) {
        if (m_fd < 0) {
            error = "the TPM helper has ended";
            return false;
        }
        const std::string frame = Frame(command);
        size_t done = 0;
        while (done < frame.size()) {
            // Never SIGPIPE: a helper that died is an error like any other.
            const ssize_t n = send(m_fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = "the TPM helper has ended";
                end();
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return receive(status, fields, error);
    }

    bool receive(Status& status, std::vector<std::string>& fields, std::string& error) {
        const auto deadline = Clock::now() + m_answerTimeout;
        std::string header;
        std::string payload;
        bool ok = readAll(header, 4, deadline, false);
        size_t length = 0;
        if (ok) {
            length = (static_cast<size_t>(static_cast<unsigned char>(header[0])) << 24) |
                     (static_cast<size_t>(static_cast<unsigned char>(header[1])) << 16) |
                     (static_cast<size_t>(static_cast<unsigned char>(header[2])) << 8) |
                     static_cast<unsigned char>(header[3]);
            ok = length > 0 && length <= kMaxFrame && readAll(payload, length, deadline, false);
        }
        if (!ok) {
            if (m_bCancelled) {
                error = kCancelled;
            } else if (m_bTimedOut) {
                error = "the TPM did not answer within " + std::to_string(m_answerTimeout.count()) +
                        " ms";
            } else {
                error = "the TPM helper ended without answering";
            }
            end();
            return false;
        }
        if (!GetFields(payload, 1, fields)) {
            error = "malformed answer from the TPM helper";
            end();
            return false;
        }
        status = static_cast<Status>(payload[0]);
        return true;
    }

    // Reads exactly 'count' bytes (or, with 'untilEnd', until the helper
    // closes its end) before 'deadline', unless the wait is cancelled first.
    bool readAll(std::string& out, size_t count, Clock::time_point deadline, bool untilEnd) {
        char buffer[4096];
        const int cancelFd = m_pCancel != nullptr ? m_pCancel->Fd() : -1;
        while (untilEnd || out.size() < count) {
            // Checked before the helper's socket: an answer that arrives with
            // the cancellation is not used, so nothing is signed for a
            // request that the stopping owner will not send anyway.
            if (m_pCancel != nullptr && m_pCancel->IsCancelled()) {
                m_bCancelled = true;
                return false;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                m_bTimedOut = true;
                return false;
            }
            long long sliceMs = std::min<long long>(left.count(), INT_MAX);
            if (m_pCancel != nullptr && cancelFd < 0) {
                sliceMs = std::min<long long>(sliceMs, WaitCanceller::kFallbackSliceMs);
            }
            // A negative descriptor is ignored by poll.
            pollfd pfds[2] = {{m_fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
            const int ready = poll(pfds, 2, static_cast<int>(sliceMs));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0 || pfds[0].revents == 0) {
                continue;  // the checks above end it
            }
            const size_t want =
                untilEnd ? sizeof buffer : std::min(sizeof buffer, count - out.size());
            const ssize_t n = recv(m_fd, buffer, want, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return untilEnd;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // Kills the helper if it still runs and reaps it.
    void end() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
        if (m_pid > 0) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                (void)kill(m_pid, SIGKILL);
                while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
            m_pid = -1;
        }
    }

    pid_t m_pid;
    int m_fd;
    std::chrono::milliseconds m_answerTimeout;
    const WaitCanceller* m_pCancel;  // may be null; outlives the session
    bool m_bTimedOut = false;
    bool m_bCancelled = false;
};

class TpmChip : public IDeviceKeyChip {
public:
    TpmChip(std::string helper, std::string tcti, int timeoutMs)
        : m_strHelper(std::move(helper)), m_strTcti(std::move(tcti)), m_nTimeoutMs(timeoutMs) {}

    std::string Name() const override { return m_strTcti; }

    std::unique_ptr<IDeviceKeySession> Open(const WaitCanceller* cancel,
                                            std::string& error) override {
        if (cancel != nullptr && cancel->IsCancelled()) {
            error = kCancelled;
            return nullptr;
        }
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            error = std::string("cannot make a socket for the TPM helper: ") + std::strerror(errno);
            return nullptr;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        // Not every descriptor of the agent is close-on-exec (the socket the
        // service manager hands over is not): the helper gets none of them,
        // so it can never hold the agent's port or the store's lock.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        const std::string timeout = std::to_string(m_nTimeoutMs);
        std::vector<char*> argv = {const_cast<char*>(m_strHelper.c_str()),
                                   const_cast<char*>(m_strTcti.c_str()),
                                   const_cast<char*>(timeout.c_str()), nullptr};
        pid_t pid = -1;
        const int rc =
            posix_spawn(&pid, m_strHelper.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            error = "cannot start the TPM helper " + m_strHelper + ": " + std::strerror(rc);
            return nullptr;
        }
        // Opening makes the primary key as well: one command wait, with the
        // connection and the set-up around it.
        auto session = std::make_unique<HelperSession>(
            pid, fds[0], std::chrono::milliseconds(3LL * m_nTimeoutMs + 1000), cancel);
        if (!session->Started(error)) {
            return nullptr;
        }
        return session;
    }

private:
    std::string m_strHelper;
    std::string m_strTcti;
    int m_nTimeoutMs;
};

}  // namespace

std::string TpmHelperPath() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string directory = "/usr/bin/";
    if (n > 0) {
        directory.assign(exe, static_cast<size_t>(n));
        directory.erase(directory.rfind('/') + 1);
    }
    const std::string beside = directory + kHelperName;
    if (access(beside.c_str(), X_OK) == 0) {
        return beside;
    }
    // <prefix>/bin/vorn finds <prefix>/lib/vorn/vorn-tpm, whatever the prefix.
    return directory + "../" + VORN_TPM_HELPER_INSTALL_DIR + "/" + kHelperName;
}

std::unique_ptr<IDeviceKeyChip> CreateTpmDeviceKeyChip(const std::string& tcti,
                                                       int commandTimeoutMs, std::string& error) {
    const std::string helper = TpmHelperPath();
    if (access(helper.c_str(), X_OK) != 0) {
        error = "the TPM helper " + helper + " is not installed";
        return nullptr;
    }
    return std::make_unique<TpmChip>(helper, tcti, commandTimeoutMs);
}

}  // namespace vorn
