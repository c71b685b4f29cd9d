// Packets from clients of the agent's local Unix socket, through the real
// socket, reader and service. A few connections send what the input says
// (any length, up to past the size limit); the fake handler keeps the
// callback or refuses, and the harness completes the refresh from outside
// the handler, as the agent core does. Every packet a client gets back must
// be a four-byte refresh answer.
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "agent/ipcagent.h"
#include "common/ipcmessage.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr int kClients = 3;

int Connect(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::abort();
    }
    return fd;
}

struct Harness {
    vorn::fuzz::ScratchDir dir;
    std::string path = dir.file("vorn.sock");
    vorn::CIPCAgent agent{0, path};
    std::mutex mutex;
    vorn::RefreshTokenCallback pending;  // guarded by mutex
    vorn::VORN_STATUS handlerStatus = vorn::VORN_OK;
    int clients[kClients];

    Harness() {
        (void)agent.RegisterRefreshTokenHandler([this](vorn::RefreshTokenCallback callback) {
            std::lock_guard<std::mutex> lock(mutex);
            if (handlerStatus == vorn::VORN_OK) {
                pending = std::move(callback);
            }
            return handlerStatus;
        });
        for (int& fd : clients) {
            fd = Connect(path);
        }
    }

    void Complete(vorn::IpcRefreshTokenRsp::eRefreshTokenResponse outcome) {
        vorn::RefreshTokenCallback callback;
        {
            std::lock_guard<std::mutex> lock(mutex);
            callback = std::move(pending);
            pending = nullptr;
        }
        if (callback) {
            callback(outcome);
        }
    }

    // Reads what has arrived within 'ms'; reconnects a client the agent
    // dropped. Anything but a refresh answer is a fault.
    void Drain(int ms) {
        for (int& fd : clients) {
            pollfd entry{fd, POLLIN, 0};
            while (poll(&entry, 1, ms) == 1) {
                unsigned char buffer[64];
                const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT | MSG_TRUNC);
                if (n <= 0) {
                    close(fd);
                    fd = Connect(path);
                    break;
                }
                if (n != 4 || buffer[0] != 2 || buffer[1] != 0 || buffer[3] != 0) {
                    std::abort();
                }
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness;  // lives until exit, with its thread
    FuzzedDataProvider provider(data, size);
    while (provider.remaining_bytes() > 0) {
        const uint8_t action = provider.ConsumeIntegral<uint8_t>();
        const std::string packet =
            provider.ConsumeRandomLengthString(vorn::kIpcMaxMessageSize + 16);
        {
            std::lock_guard<std::mutex> lock(harness->mutex);
            harness->handlerStatus = (action & 1) != 0 ? vorn::VORN_OK : vorn::VORN_ERROR;
        }
        const int client = harness->clients[(action >> 1) % kClients];
        (void)send(client, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if ((action & 0x80) != 0) {
            // Let the server take the packet before the refresh completes.
            harness->Drain(1);
            harness->Complete(
                static_cast<vorn::IpcRefreshTokenRsp::eRefreshTokenResponse>((action >> 3) & 7));
        }
    }
    harness->Drain(2);
    harness->Complete(vorn::IpcRefreshTokenRsp::eRefreshTokenSuccess);
    harness->Drain(2);
    return 0;
}
