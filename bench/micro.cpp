// Micro-benchmarks of the agent's hot paths. Run with a scratch directory as
// the only argument's parent: the log and the store are written under
// $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/attributecollectorfactory.h"
#include "agent/cloudformatconverter.h"
#include "agent/httprequest.h"
#include "agent/httpresponse.h"
#include "agent/vornevent.h"
#include "agent/vornstorereaderwriter.h"
#include "bench/benchsupport.h"
#include "common/vornlogger.h"
#include "common/vornstorefileimpl.h"

namespace {

using namespace vorn;

std::string g_scratch;  // a private directory for the log and the store

void BM_SerializeRequest(benchmark::State& state) {
    const IdentityServiceRequest request = bench::TypicalRequest();
    std::string text;
    for (auto _ : state) {
        text.clear();
        if (CloudFormatConverter::SerializeRequestData(request, text) != VORN_OK) {
            state.SkipWithError("serialisation failed");
            break;
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_SerializeRequest);

void BM_ParseAnswer(benchmark::State& state) {
    const std::string answer = R"({"vorn":"6c1f3a2e-9b7d-4e21-a5c3-1d2e3f4a5b6c","vorn_token":")" +
                               std::string(64, 't') + R"(","instance_key":")" +
                               std::string(32, 'k') + R"("})";
    for (auto _ : state) {
        IdentityServiceResponse response;
        response.m_status = VORN_OK;
        if (CloudFormatConverter::DeserializeResponseData(answer, response) != VORN_OK) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(response.m_strVorn.data());
    }
}
BENCHMARK(BM_ParseAnswer);

void BM_ParseUrl(benchmark::State& state) {
    const std::string url = "https://identity.example.com:8443/api/v2/device/identity";
    for (auto _ : state) {
        HttpRequest request(POST, url, std::string());
        benchmark::DoNotOptimize(request.GetPort());
    }
}
BENCHMARK(BM_ParseUrl);

void BM_ParseHeaders(benchmark::State& state) {
    const std::string raw =
        "HTTP/1.1 429 Too Many Requests\r\nServer: vorn-cloud\r\n"
        "Content-Type: application/json\r\nContent-Length: 42\r\nRetry-After: 120\r\n"
        "Date: Mon, 02 Jun 2025 10:00:00 GMT\r\nConnection: close\r\n\r\n";
    for (auto _ : state) {
        HttpResponse response;
        response.ParseHeaders(raw);
        benchmark::DoNotOptimize(response.GetHeaders().size());
    }
}
BENCHMARK(BM_ParseHeaders);

// One line at the agent's default level, into the real file (stat, write,
// flush; rotation included when the file grows past its limit).
void BM_LogLine(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        VORN_LOG_DEBUG("VORN agent received ID request event %d", ++n);
    }
}
BENCHMARK(BM_LogLine)->Repetitions(9)->ReportAggregatesOnly(true);

// The same line in wall time, and with the flush to the disk that ends every
// exchange and follows every error line (fdatasync): what the flush costs.
void BM_LogLineWall(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        VORN_LOG_DEBUG("VORN agent received ID request event %d", ++n);
    }
}
BENCHMARK(BM_LogLineWall)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

void BM_LogLineFlushed(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        VORN_LOG_DEBUG("VORN agent received ID request event %d", ++n);
        CVORNLogger::Sync();
    }
}
BENCHMARK(BM_LogLineFlushed)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

// The system calls a log line cannot do without, on the same file system:
// one stat of the file by name and one write of a line of the same length.
void BM_LogLineSyscallFloor(benchmark::State& state) {
    const std::string path = g_scratch + "/floor.log";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string line =
        "[Thu Dec 10 07:15:17 2026] T: 1A2B F: vornagent.cpp L: 256 f: "
        "vorn::CVORNAgent::MainThreadProc S: debug :: VORN agent received ID request event 1 \n";
    for (auto _ : state) {
        struct stat st {};
        (void)stat(path.c_str(), &st);
        if (st.st_size > 5000000) {
            (void)ftruncate(fd, 0);
        }
        if (write(fd, line.data(), line.size()) < 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_LogLineSyscallFloor)->Repetitions(9)->ReportAggregatesOnly(true);

// The two above, paired: each iteration writes one log line and does one
// stat + write of the floor, in alternating order, each timed on its own.
// Run one after the other, the two medians drift apart with the file
// system's state (journal commits, write-back) by more than the logger's
// own cost; paired, both see the same conditions and the ratio of their
// medians is the logger's overhead.
void BM_LogLinePaired(benchmark::State& state) {
    const std::string path = g_scratch + "/floor-paired.log";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string line =
        "[Thu Dec 10 07:15:17 2026] T: 1A2B F: vornagent.cpp L: 256 f: "
        "vorn::CVORNAgent::MainThreadProc S: debug :: VORN agent received ID request event 1 \n";
    const auto floor = [&] {
        struct stat st {};
        (void)stat(path.c_str(), &st);
        if (st.st_size > 5000000) {
            (void)ftruncate(fd, 0);
        }
        return write(fd, line.data(), line.size()) >= 0;
    };
    using Clock = std::chrono::steady_clock;
    std::vector<double> lines, floors;
    int n = 0;
    for (auto _ : state) {
        const bool lineFirst = (++n & 1) != 0;
        double lineNs = 0, floorNs = 0;
        for (int step = 0; step < 2; ++step) {
            const auto start = Clock::now();
            if ((step == 0) == lineFirst) {
                VORN_LOG_DEBUG("VORN agent received ID request event %d", n);
                lineNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            } else {
                if (!floor()) {
                    state.SkipWithError("write failed");
                    break;
                }
                floorNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            }
        }
        lines.push_back(lineNs);
        floors.push_back(floorNs);
    }
    close(fd);
    const auto median = [](std::vector<double>& values) {
        if (values.empty()) {
            return 0.0;
        }
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    state.counters["line_ns"] = median(lines);
    state.counters["floor_ns"] = median(floors);
}
BENCHMARK(BM_LogLinePaired)->Iterations(200000);

// Every read opens the store anew, as another process would: shared lock,
// read, parse.
void BM_StoreRead(benchmark::State& state) {
    const std::string path = g_scratch + "/vornstore.json";
    {
        CVORNStoreReaderWriter writer;
        if (writer.Initialize(CVORNStoreReaderWriter::eStoreTypeFile, path) != VORN_OK ||
            writer.SetIdentity(std::string(64, 't'), "6c1f3a2e-9b7d-4e21-a5c3-1d2e3f4a5b6c",
                               std::string(32, 'k')) != VORN_OK) {
            state.SkipWithError("store set-up failed");
            return;
        }
    }
    for (auto _ : state) {
        CVORNStoreFileImpl store(CVORNStoreFileImpl::eOpenReadOnly);
        (void)store.Initialize(path);
        std::string value;
        if (store.ReadKeyValue("vorn_token", value) != VORN_OK) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(value.data());
    }
}
BENCHMARK(BM_StoreRead);

// The agent's write of a new identity: exclusive lock, read-modify-write,
// atomic replace of the file.
void BM_StoreWrite(benchmark::State& state) {
    CVORNStoreReaderWriter writer;
    if (writer.Initialize(CVORNStoreReaderWriter::eStoreTypeFile,
                          g_scratch + "/vornstore-write.json") != VORN_OK) {
        state.SkipWithError("store set-up failed");
        return;
    }
    int n = 0;
    for (auto _ : state) {
        const std::string token = std::to_string(++n) + std::string(60, 't');
        if (writer.SetIdentity(token, "6c1f3a2e-9b7d-4e21-a5c3-1d2e3f4a5b6c",
                               std::string(32, 'k')) != VORN_OK) {
            state.SkipWithError("write failed");
            break;
        }
    }
}
BENCHMARK(BM_StoreWrite);

// One warm collection of the fixture machine in process.
void BM_Collection(benchmark::State& state) {
    setenv("VORN_SYSROOT", bench::FixtureMachine().c_str(), 1);
    auto collector = CreateAttributeCollector();
    std::list<CAttribute> attributes;
    (void)collector->GetAttributeList(attributes);
    for (auto _ : state) {
        (void)collector->GetAttributeList(attributes);
        benchmark::DoNotOptimize(attributes.size());
    }
    state.counters["attributes"] = static_cast<double>(attributes.size());
}
BENCHMARK(BM_Collection)->Repetitions(5)->ReportAggregatesOnly(true);

// Set on one thread to return from WaitForEvents on another, measured as half
// of a ping-pong round trip between two threads.
void BM_WaitForEventsWake(benchmark::State& state) {
    VORNEvent ping{true};
    VORNEvent pong{true};
    VORNEvent stop{true};
    std::thread peer([&] {
        VORNEvent* const events[] = {&stop, &ping};
        while (WaitForEvents(2, events, false, kInfinite) == 1) {
            pong.Set();
        }
    });
    VORNEvent* const mine[] = {&pong};
    for (auto _ : state) {
        ping.Set();
        (void)WaitForEvents(1, mine, false, kInfinite);
    }
    stop.Set();
    peer.join();
    state.SetItemsProcessed(state.iterations() * 2);
    state.counters["wake_us"] =
        benchmark::Counter(static_cast<double>(state.iterations() * 2),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WaitForEventsWake)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/vorn-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    g_scratch = pattern;
    // An empty registry: the sibling products' keys are simply absent.
    // An installed machine's registry: the data directory and the sibling products.
    if (std::getenv("VORN_REGISTRY_DIR") == nullptr) {
        setenv("VORN_REGISTRY_DIR", g_scratch.c_str(), 1);
        FILE* reg = fopen((g_scratch + "/vorn.reg").c_str(), "w");
        if (reg != nullptr) {
            fprintf(reg,
                    "Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
                    "\"DataDir\"=\"%s/\"\n",
                    g_scratch.c_str());
            fclose(reg);
        }
        (void)std::system(
            ("cp '" VORN_BENCH_SOURCE_DIR "/bench/siblings.reg' '" + g_scratch + "/'").c_str());
    }
    // The agent's default level: debug lines are written.
    CVORNLogger::GetInstance(g_scratch + "/vornagent.log").SetLogLevel(CVORNLogger::kDebug);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    (void)std::system(("rm -rf '" + g_scratch + "'").c_str());
    return 0;
}
