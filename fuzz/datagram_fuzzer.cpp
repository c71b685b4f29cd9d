// Datagrams at the refresh service. One service per process (it binds a
// loopback socket on a kernel-chosen port); answers go to a sink socket of the
// harness so nothing outside the process receives them. The fake handler
// keeps the callback (or refuses), and the harness completes the refresh from
// outside the handler, as the agent core does.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/ipcagent.h"
#include "common/ipcmessage.h"

namespace {

unsigned short BindSink(int& fd) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::abort();
    }
    return ntohs(addr.sin_port);
}

struct Harness {
    int sinkFd = -1;
    unsigned short sinkPort = BindSink(sinkFd);
    vorn::CIPCAgent agent{0};
    vorn::RefreshTokenCallback pending;
    vorn::VORN_STATUS handlerStatus = vorn::VORN_OK;

    Harness() {
        (void)agent.RegisterRefreshTokenHandler([this](vorn::RefreshTokenCallback callback) {
            if (handlerStatus == vorn::VORN_OK) {
                pending = std::move(callback);
            }
            return handlerStatus;
        });
    }
    void Drain() const {
        char buffer[64];
        while (recv(sinkFd, buffer, sizeof(buffer), 0) >= 0) {
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    FuzzedDataProvider provider(data, size);
    while (provider.remaining_bytes() > 0) {
        const uint8_t action = provider.ConsumeIntegral<uint8_t>();
        const std::string message =
            provider.ConsumeRandomLengthString(vorn::kIpcMaxMessageSize + 16);
        uint16_t msgType = 0xFFFF;
        const vorn::VORN_STATUS status = vorn::GetMsgType(message, msgType);
        if ((status == vorn::VORN_OK) != (message.size() >= 2) ||
            (status != vorn::VORN_OK && msgType != 0)) {
            std::abort();
        }
        harness.handlerStatus = (action & 1) != 0 ? vorn::VORN_OK : vorn::VORN_ERROR;
        harness.agent.handleReceivedIpcMessage(message, harness.sinkPort);
        if ((action & 2) != 0 && harness.pending) {
            vorn::RefreshTokenCallback callback = std::move(harness.pending);
            harness.pending = nullptr;
            callback(static_cast<vorn::IpcRefreshTokenRsp::eRefreshTokenResponse>(action >> 2));
        }
    }
    // Every refresh started by this input completes before the next input.
    if (harness.pending) {
        vorn::RefreshTokenCallback callback = std::move(harness.pending);
        harness.pending = nullptr;
        callback(vorn::IpcRefreshTokenRsp::eRefreshTokenSuccess);
    }
    harness.Drain();
    return 0;
}
