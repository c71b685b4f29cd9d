#include "tests/support/cloudservice.h"

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace vorn::test {

namespace {

using namespace std::chrono_literals;

size_t AppendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

const TempDir& CloudServiceCertificates() {
    static const std::unique_ptr<TempDir> dir = [] {
        auto made = std::make_unique<TempDir>();
        ChildProcess::Options options;
        options.args = {BinaryPath("vorn-cloud"), "--generate-cert", made->path()};
        ChildProcess generate(options);
        const auto status = generate.Wait(30s);
        if (!status || ExitCode(*status) != 0) {
            return std::unique_ptr<TempDir>();
        }
        return made;
    }();
    if (!dir) {
        static const TempDir none;
        return none;
    }
    return *dir;
}

CloudService::CloudService(const Options& service) {
    const TempDir& certs = CloudServiceCertificates();
    const std::string name = service.untrusted ? "untrusted" : "server";
    ChildProcess::Options options;
    options.args = {BinaryPath("vorn-cloud"),
                    "--cert",
                    certs.file(name + ".pem"),
                    "--key",
                    certs.file(name + ".key"),
                    "--port",
                    "0",
                    "--ready-file",
                    m_dir.file("port"),
                    "--log",
                    m_dir.file("cloud.log"),
                    "--no-stdin",
                    "--fault-knobs"};
    if (!service.defaultQuery.empty()) {
        options.args.push_back("--default-query");
        options.args.push_back(service.defaultQuery);
    }
    if (service.ioTimeoutMs > 0) {
        options.args.push_back("--io-timeout-ms");
        options.args.push_back(std::to_string(service.ioTimeoutMs));
    }
    options.stdinMode = ChildProcess::Stdin::DevNull;
    m_process = std::make_unique<ChildProcess>(options);
    if (WaitUntil([&] { return FileExists(m_dir.file("port")); }, 20s)) {
        m_port = std::atoi(ReadFile(m_dir.file("port")).c_str());
    }
}

CloudService::~CloudService() {
    m_process->Signal(SIGTERM);
    (void)m_process->Wait(5s);
    // ChildProcess kills what still runs.
}

std::string CloudService::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(m_port) + path;
}

int CloudService::IdentityRequests() const {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK) {
        return -1;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return -1;
    }
    std::string body;
    const std::string statsUrl = "https://127.0.0.1:" + std::to_string(m_port) + "/stats";
    const std::string ca = CloudServiceCertificates().file("ca.pem");
    curl_easy_setopt(curl, CURLOPT_URL, statsUrl.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) {
        return -1;
    }
    int count = -1;
    if (cJSON* root = cJSON_Parse(body.c_str())) {
        const cJSON* item = cJSON_GetObjectItem(root, "identity_requests");
        if (cJSON_IsNumber(item)) {
            count = item->valueint;
        }
        cJSON_Delete(root);
    }
    return count;
}

std::string CloudService::Log() const {
    return FileExists(m_dir.file("cloud.log")) ? ReadFile(m_dir.file("cloud.log")) : "";
}

int ClosedLoopbackTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

}  // namespace vorn::test
