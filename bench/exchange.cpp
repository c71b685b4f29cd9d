// Times identity exchanges of the agent's HTTPS transport against a service.
//
//   vorn_bench_exchange URL COUNT    one line per exchange: "<microseconds> <status>"
//   vorn_bench_exchange --body       prints the request document and exits
//
// Trust comes from SSL_CERT_FILE / SSL_CERT_DIR or the system store, as in the
// agent. Exits 1 when any exchange fails.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/cloudformatconverter.h"
#include "agent/httprequest.h"
#include "agent/linux/httptransportlinux.h"
#include "bench/benchsupport.h"

int main(int argc, char** argv) {
    using namespace vorn;
    std::string body;
    if (CloudFormatConverter::SerializeRequestData(bench::TypicalRequest(), body) != VORN_OK) {
        fputs("the request document could not be built\n", stderr);
        return 1;
    }
    if (argc == 2 && strcmp(argv[1], "--body") == 0) {
        fputs(body.c_str(), stdout);
        return 0;
    }
    if (argc != 3) {
        fputs("usage: vorn_bench_exchange URL COUNT | --body\n", stderr);
        return 2;
    }
    const int count = atoi(argv[2]);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    HttpTransport transport;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        HttpRequest request(POST, argv[1], body);
        request.SetUserAgent("vorn/1.1.34");
        HttpResponse response;
        const auto start = std::chrono::steady_clock::now();
        const VORN_STATUS status = transport.SendRequest(request, response);
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
        printf("%lld %u\n", static_cast<long long>(micros), response.GetStatus());
        if (status != VORN_OK || !response.IsSuccess()) {
            ++failures;
        }
    }
    curl_global_cleanup();
    return failures == 0 ? 0 : 1;
}
