// Replies of the kernel's socket-diagnostics dump, as the refresh client reads
// them to learn who owns the agent's port. The port is taken from the input so
// that every message can match; every socket reported must have come from a
// message whose port was that port.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/linux/socketowner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const uint16_t port = provider.ConsumeIntegral<uint16_t>();
    const std::vector<char> reply = provider.ConsumeRemainingBytes<char>();
    std::vector<vorn::UdpSocketOwner> owners;
    std::string error;
    const vorn::SockDiagReply result =
        vorn::ParseSockDiagReply(reply.data(), reply.size(), port, owners, error);
    if ((result == vorn::SockDiagReply::Failed) == error.empty()) {
        std::fprintf(stderr, "a failure must say why, and only a failure\n");
        std::abort();
    }
    return 0;
}
