// A burst of refresh clients: COUNT sockets, each sending one refresh request
// to 127.0.0.1:PORT as close to the same instant as one thread can, then
// waiting up to TIMEOUT_MS for the answers.
//
//   vorn_bench_fanin PORT COUNT TIMEOUT_MS [--go] [--latencies FILE]
//
// Prints "answers <n> p50_us <x> p99_us <y> max_us <z>" (latency from each
// client's send to its answer; clients without an answer are not counted).
// --go: once every socket is set up, print "ready" and send only after a line
// arrives on standard input, so that several senders start together.
// --latencies: also write every latency (microseconds) to FILE, one a line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fputs("usage: vorn_bench_fanin PORT COUNT TIMEOUT_MS [--go] [--latencies FILE]\n", stderr);
        return 2;
    }
    const int port = atoi(argv[1]);
    const int count = atoi(argv[2]);
    const int timeoutMs = atoi(argv[3]);
    bool waitForGo = false;
    const char* latencyFile = nullptr;
    for (int a = 4; a < argc; ++a) {
        if (strcmp(argv[a], "--go") == 0) {
            waitForGo = true;
        } else if (strcmp(argv[a], "--latencies") == 0 && a + 1 < argc) {
            latencyFile = argv[++a];
        } else {
            fprintf(stderr, "vorn_bench_fanin: unexpected argument '%s'\n", argv[a]);
            return 2;
        }
    }

    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int epoll = epoll_create1(0);
    std::vector<int> sockets(count, -1);
    for (int i = 0; i < count; ++i) {
        sockets[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (sockets[i] < 0 ||
            bind(sockets[i], reinterpret_cast<sockaddr*>(&local), sizeof(local)) ||
            connect(sockets[i], reinterpret_cast<sockaddr*>(&agent), sizeof(agent))) {
            perror("socket");
            return 1;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, sockets[i], &event);
    }

    if (waitForGo) {
        printf("ready\n");
        fflush(stdout);
        char line[16];
        if (fgets(line, sizeof(line), stdin) == nullptr) {
            return 1;
        }
    }
    const unsigned char request[2] = {1, 0};
    std::vector<Clock::time_point> sent(count);
    std::vector<long long> latencies;
    latencies.reserve(count);
    for (int i = 0; i < count; ++i) {
        sent[i] = Clock::now();
        if (send(sockets[i], request, sizeof(request), 0) != sizeof(request)) {
            perror("send");
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<epoll_event> events(256);
    while (static_cast<int>(latencies.size()) < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        const int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()),
                                     static_cast<int>(left));
        const auto now = Clock::now();
        for (int e = 0; e < ready; ++e) {
            const int i = static_cast<int>(events[e].data.u32);
            unsigned char answer[16];
            while (recv(sockets[i], answer, sizeof(answer), 0) == 4) {
                if (answer[0] == 2 && answer[1] == 0) {
                    latencies.push_back(
                        std::chrono::duration_cast<std::chrono::microseconds>(now - sent[i])
                            .count());
                }
            }
        }
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) -> long long {
        if (latencies.empty()) {
            return -1;
        }
        const size_t index =
            static_cast<size_t>(q * static_cast<double>(latencies.size() - 1) + 0.5);
        return latencies[std::min(index, latencies.size() - 1)];
    };
    printf("answers %zu p50_us %lld p99_us %lld max_us %lld\n", latencies.size(), at(0.5), at(0.99),
           at(1.0));
    if (latencyFile != nullptr) {
        FILE* out = fopen(latencyFile, "w");
        if (out == nullptr) {
            perror(latencyFile);
            return 1;
        }
        for (const long long latency : latencies) {
            fprintf(out, "%lld\n", latency);
        }
        fclose(out);
    }
    for (int fd : sockets) {
        close(fd);
    }
    close(epoll);
    return 0;
}
