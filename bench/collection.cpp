// Collection cost against machine size: the workstation fixture, and machines
// with 32 disks and 256 network interfaces, and 64 and 512, generated from it
// at run time.
// Collection reads a few files per disk and interface, so the large machine
// should cost about as much more as it has more to read, never a power of it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/linux/attributecollectorlinux.h"
#include "bench/benchsupport.h"
#include "common/vornlogger.h"
#include "tests/attribute_test_util.h"
#include "tests/fakeinterfaces.h"

namespace {

using namespace vorn;
using test::FakeInterface;
using test::FakeInterfaceSource;
namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string UnitSerialPage(const std::string& serial) {
    std::string page("\0\x80\0", 3);
    page += static_cast<char>(serial.size());
    return page + serial;
}

std::vector<FakeInterface> WorkstationInterfaces() {
    return {{"lo",
             ARPHRD_LOOPBACK,
             {0, 0, 0, 0, 0, 0},
             IFF_UP | IFF_RUNNING | IFF_LOOPBACK,
             {{"127.0.0.1", 8}, {"::1", 128}}},
            {"eno1",
             ARPHRD_ETHER,
             {0x3c, 0xec, 0xef, 0x12, 0x34, 0x56},
             IFF_UP | IFF_RUNNING,
             {{"10.20.30.40", 24}, {"fe80::3eec:efff:fe12:3456", 64}}}};
}

// The workstation with more disks (half SATA with the unit serial page, half
// NVMe) and VLAN interfaces, each with an IPv4 and an IPv6 address and an
// operational state in sysfs.
class LargeMachine {
public:
    LargeMachine(int disks, int interfaces) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/vorn-large-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        m_root = pattern;
        fs::copy(bench::FixtureMachine(), m_root,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        for (int i = 0; i < disks / 2; ++i) {
            const std::string scsi =
                Format("pci0000:00/0000:00:17.0/ata%d/host%d/target%d:0:0/%d:0:0:0", i, i, i, i);
            const std::string name = Format("sd%c%s", 'c' + i % 24, i >= 24 ? "x" : "");
            const fs::path device = m_root / "sys/devices" / scsi;
            WriteText(device / "model", "ST4000NM0035-1V4\n");
            WriteText(device / "vpd_pg80", UnitSerialPage(Format("ZC1%d", 100000 + i)));
            WriteText(device / "block" / name / "removable", "0\n");
            fs::create_directory_symlink(Format("../../../%d:0:0:0", i),
                                         device / "block" / name / "device");
            fs::create_directory_symlink(fs::path("../devices") / scsi / "block" / name,
                                         m_root / "sys/block" / name);
        }
        for (int i = 1; i <= disks / 2; ++i) {
            const std::string controller = Format("pci0000:5d/0000:5d:%d.0/nvme/nvme%d", i, i);
            const std::string name = Format("nvme%dn1", i);
            const fs::path device = m_root / "sys/devices" / controller;
            WriteText(device / "serial", Format("PHLN%d      \n", 200000 + i));
            WriteText(device / "model", "INTEL SSDPE2KX010T8\n");
            WriteText(device / name / "removable", "0\n");
            fs::create_directory_symlink(Format("../../nvme%d", i), device / name / "device");
            fs::create_directory_symlink(fs::path("../devices") / controller / name,
                                         m_root / "sys/block" / name);
        }
        m_interfaces = WorkstationInterfaces();
        for (int i = 0; i < interfaces - 2; ++i) {
            const std::string name = "eno1." + std::to_string(100 + i);
            WriteText(m_root / "sys/class/net" / name / "operstate", "up\n");
            const unsigned char low = static_cast<unsigned char>(i & 0xff);
            const unsigned char high = static_cast<unsigned char>(i >> 8);
            m_interfaces.push_back(
                {name,
                 ARPHRD_ETHER,
                 {0x02, 0x00, 0x00, 0x00, high, low},
                 IFF_UP | IFF_RUNNING,
                 {{"10." + std::to_string(high) + "." + std::to_string(low) + ".1", 24},
                  {"fe80::" + std::to_string(i) + ":1", 64}}});
        }
    }
    ~LargeMachine() {
        if (!m_root.empty()) {
            std::error_code ignored;
            fs::remove_all(m_root, ignored);
        }
    }
    LargeMachine(const LargeMachine&) = delete;
    LargeMachine& operator=(const LargeMachine&) = delete;

    std::string Root() const { return m_root.string(); }
    const std::vector<FakeInterface>& Interfaces() const { return m_interfaces; }

private:
    fs::path m_root;
    std::vector<FakeInterface> m_interfaces;
};

std::unique_ptr<CAttributeCollectorLinux> Collector(const std::string& root,
                                                    std::vector<FakeInterface> interfaces) {
    return std::make_unique<CAttributeCollectorLinux>(
        root, std::make_shared<FakeInterfaceSource>(std::move(interfaces), root),
        std::make_shared<test::FakeHostNames>("ws-0142", "ws-0142.corp.example.com"));
}

// Mean time of one collection, over 'runs' warm runs.
double MicrosecondsPerCollection(CAttributeCollectorLinux& collector, int runs) {
    std::list<CAttribute> attributes;
    (void)collector.GetAttributeList(attributes);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        (void)collector.GetAttributeList(attributes);
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
               .count() /
           runs;
}

void BM_CollectWorkstation(benchmark::State& state) {
    auto collector = Collector(bench::FixtureMachine(), WorkstationInterfaces());
    std::list<CAttribute> attributes;
    for (auto _ : state) {
        (void)collector->GetAttributeList(attributes);
        benchmark::DoNotOptimize(attributes.size());
    }
}
BENCHMARK(BM_CollectWorkstation)->Repetitions(5)->ReportAggregatesOnly(true);

// Reports, besides its own time, how many workstation collections one
// collection of the large machine costs ("vs_workstation", to stay below 10).
void BM_CollectLargeMachine(benchmark::State& state) {
    // Built once per size: the benchmark library calls this function several
    // times.
    static std::map<std::pair<int, int>, std::unique_ptr<LargeMachine>> machines;
    const std::pair<int, int> size(static_cast<int>(state.range(0)),
                                   static_cast<int>(state.range(1)));
    std::unique_ptr<LargeMachine>& built = machines[size];
    if (!built) {
        built = std::make_unique<LargeMachine>(size.first, size.second);
    }
    const LargeMachine& machine = *built;
    if (machine.Root().empty()) {
        state.SkipWithError("cannot create the large machine");
        return;
    }
    auto large = Collector(machine.Root(), machine.Interfaces());
    auto small = Collector(bench::FixtureMachine(), WorkstationInterfaces());
    std::list<CAttribute> attributes;
    (void)large->GetAttributeList(attributes);
    size_t disks = 0, adapters = 0;
    for (const CAttribute& attribute : attributes) {
        if (attribute.m_strTag == "disk_list" && attribute.m_spChildren) {
            disks = attribute.m_spChildren->size();
        } else if (attribute.m_strTag == "adapters" && attribute.m_spChildren) {
            adapters = attribute.m_spChildren->size();
        }
    }
    for (auto _ : state) {
        (void)large->GetAttributeList(attributes);
        benchmark::DoNotOptimize(attributes.size());
    }
    state.counters["disks"] = static_cast<double>(disks);
    state.counters["adapters"] = static_cast<double>(adapters);
    state.counters["vs_workstation"] =
        MicrosecondsPerCollection(*large, 20) / MicrosecondsPerCollection(*small, 200);
    // The same with error lines only: what the sources cost without the
    // debug lines (five per adapter, two per disk) the agent's level writes.
    CVORNLogger* logger = CVORNLogger::TryGetInstance();
    if (logger != nullptr) {
        const int level = logger->GetLogLevel();
        logger->SetLogLevel(CVORNLogger::kError);
        state.counters["vs_workstation_unlogged"] =
            MicrosecondsPerCollection(*large, 20) / MicrosecondsPerCollection(*small, 200);
        logger->SetLogLevel(level);
    }
}
// Disks and interfaces: the half-size machine shows how the cost grows, the
// last two the disks' and the interfaces' shares apart.
BENCHMARK(BM_CollectLargeMachine)
    ->Args({32, 256})
    ->Args({64, 512})
    ->Args({64, 2})
    ->Args({0, 512})
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
