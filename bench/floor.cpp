// The idle floor: the least a program shaped like the agent can cost. It links
// the agent's libraries, runs the same process-wide set-up, and blocks its
// threads the way the agent's threads block when nothing happens:
//   main thread     poll() on standard input (termination request)
//   event thread    WaitForEvents with no timeout (the agent's main loop)
//   worker thread   a condition variable (the cloud worker's queue)
//   receiver thread a Boost.Asio receive on a loopback UDP socket (the IPC endpoint)
// A byte or end of file on standard input stops it.
#include <curl/curl.h>
#include <poll.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "agent/vornevent.h"

int main() {
    using namespace vorn;
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    VORNEvent stop{true};
    std::thread eventThread([&stop] {
        VORNEvent* const events[] = {&stop};
        (void)WaitForEvents(1, events, false, kInfinite);
    });

    std::mutex mutex;
    std::condition_variable queue;
    bool stopping = false;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        queue.wait(lock, [&] { return stopping; });
    });

    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::udp::socket socket(
        io, asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    char buffer[4096];
    asio::ip::udp::endpoint sender;
    socket.async_receive_from(asio::buffer(buffer), sender, [](auto, auto) {});
    std::thread receiver([&io] { io.run(); });

    printf("ready\n");
    fflush(stdout);
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    while (poll(&fd, 1, -1) < 0) {
    }

    stop.Set();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    queue.notify_one();
    io.stop();
    eventThread.join();
    worker.join();
    receiver.join();
    curl_global_cleanup();
    return 0;
}
