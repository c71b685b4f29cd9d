#include "agent/linux/httptransportlinux.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "agent/httptransportfactory.h"
#include "agent/linux/truststore.h"
#include "common/textescape.h"
#include "common/vornlogger.h"

namespace vorn {

namespace {

// The steps of an exchange as log lines name them. The library folds several
// steps into one call, so a line names the step that failed, whichever
// function of this file noticed it.
constexpr const char* kStepInit = "vorn::winHttpInit";
constexpr const char* kStepSecurityProtocols = "vorn::setSecurityProtocols";
constexpr const char* kStepTimeouts = "vorn::setTimeouts";
constexpr const char* kStepCreateRequest = "vorn::createRequest";
constexpr const char* kStepParseResponse = "vorn::parseWinHttpResponse";
constexpr const char* kStepStatusCode = "vorn::fetchResponseStatusCode";
constexpr const char* kStepHeaders = "vorn::fetchResponseHeaders";
constexpr const char* kStepData = "vorn::fetchResponseData";

constexpr size_t kMaxHeaderBlock = 1024 * 1024;
// How far the library's time-out may come before the overall bound by this
// process's clock and still be that bound.
constexpr std::chrono::milliseconds kClockSlack(100);
// How much of a header block goes into one log line.
constexpr size_t kLoggedHeaderBytes = 2048;

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
template <typename T>
using CurlPtr = std::unique_ptr<T, CurlDeleter>;
// CURLM and CURL are both void, so the multi handle has a deleter of its own.
struct CurlMultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;

// The store is built once and shared by every connection. It is rebuilt when
// the CA locations named by the environment change, or the bundle file itself
// does (a CA update on a long-running machine).
class TrustStoreCache {
public:
    // A new reference to the current store, or nullptr when none can be built.
    CurlPtr<X509_STORE> Get() {
        const TrustLocations locations = CurrentTrustLocations();
        const std::string key = keyOf(locations);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_store || key != m_strKey) {
            CurlPtr<X509_STORE> store(NewTrustStore(locations));
            if (!store) {
                return nullptr;
            }
            m_store = std::move(store);
            m_strKey = key;
        }
        if (X509_STORE_up_ref(m_store.get()) != 1) {
            return nullptr;
        }
        return CurlPtr<X509_STORE>(m_store.get());
    }

private:
    static std::string keyOf(const TrustLocations& locations) {
        std::string key = locations.file + '\n' + (locations.fileNamed ? "named" : "system") +
                          '\n' + locations.directories;
        struct stat info {};
        if (stat(locations.file.c_str(), &info) == 0) {
            key += '\n' + std::to_string(info.st_mtim.tv_sec) + '.' +
                   std::to_string(info.st_mtim.tv_nsec) + '/' + std::to_string(info.st_size);
        }
        return key;
    }

    std::mutex m_mutex;
    CurlPtr<X509_STORE> m_store;  // guarded by m_mutex
    std::string m_strKey;         // guarded by m_mutex
};

TrustStoreCache& trustStoreCache() {
    static TrustStoreCache cache;
    return cache;
}

// Replaces the store libcurl would load for this connection by the shared one.
CURLcode useSharedTrustStore(CURL* /*handle*/, void* sslContext, void* store) {
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), static_cast<X509_STORE*>(store));
    return CURLE_OK;
}

struct Exchange {
    const std::atomic<bool>* aborted = nullptr;
    CURL* handle = nullptr;
    std::string headers;
    std::string body;
    bool bodyTooLarge = false;
    bool outOfMemory = false;
    bool stalled = false;
    curl_off_t lastMoved = -1;  // bytes sent plus received at the last progress
    std::chrono::steady_clock::time_point lastMovedAt = std::chrono::steady_clock::now();
};

// libcurl's low-speed check averages over a window that still holds the
// request body, so a peer that reads the request and then falls silent
// would be given twice the bound. Watching the byte counts ends any
// transfer in which nothing moved for the bound, in either direction.
int watchProgress(void* context, curl_off_t /*downloadTotal*/, curl_off_t downloaded,
                  curl_off_t /*uploadTotal*/, curl_off_t uploaded) {
    auto* exchange = static_cast<Exchange*>(context);
    if (exchange->aborted->load()) {
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    // Until the secure channel stands, the connect time-out bounds the wait
    // and libcurl names the phase that failed (resolving, connecting, the
    // handshake); "nothing moved" would hide which one it was.
    curl_off_t connectedAfter = 0;
    if (curl_easy_getinfo(exchange->handle, CURLINFO_APPCONNECT_TIME_T, &connectedAfter) !=
            CURLE_OK ||
        connectedAfter == 0) {
        exchange->lastMovedAt = now;
        return 0;
    }
    if (downloaded + uploaded != exchange->lastMoved) {
        exchange->lastMoved = downloaded + uploaded;
        exchange->lastMovedAt = now;
        return 0;
    }
    if (now - exchange->lastMovedAt >= std::chrono::milliseconds(HttpTransport::kTimeoutMs)) {
        exchange->stalled = true;
        return 1;
    }
    return 0;
}

size_t collectHeader(char* data, size_t size, size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const size_t length = size * count;
    // An interim answer (100 Continue) comes first with a head of its own;
    // only the final head describes the response.
    if (length >= 5 && std::string(data, 5) == "HTTP/") {
        exchange->headers.clear();
    }
    if (exchange->headers.size() + length > kMaxHeaderBlock) {
        return 0;
    }
    try {
        exchange->headers.append(data, length);
    } catch (const std::bad_alloc&) {
        exchange->outOfMemory = true;
        return 0;
    }
    return length;
}

size_t collectBody(char* data, size_t size, size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const size_t length = size * count;
    if (exchange->body.size() + length > HttpTransport::kMaxResponseBody) {
        exchange->bodyTooLarge = true;
        return 0;
    }
    try {
        exchange->body.append(data, length);
    } catch (const std::bad_alloc&) {
        exchange->outOfMemory = true;
        return 0;
    }
    VORN_LOG_AS(CVORNLogger::kVerbose, kStepData, " Server response received");
    return length;
}

bool isSecureChannelFailure(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_ENGINE_INITFAILED:
            return true;
        default:
            return false;
    }
}

// The system's text for an errno value.
std::string systemErrorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// "host port N", escaped: the part of the target a reason may show.
std::string describeTarget(const HttpRequest& request) {
    return EscapeUntrusted(request.GetHost(), 256) + " port " + std::to_string(request.GetPort());
}

// Why a transfer that ended with 'code' brought no answer, for the
// administrator: the host and port, the system's text for a failed connect,
// libcurl's text (which may quote the peer's certificate, so escaped) for the
// rest.
std::string describeFailure(CURL* handle, CURLcode code, const char* libraryText,
                            const HttpRequest& request) {
    const std::string text = EscapeUntrusted(libraryText, 512);
    const std::string host = EscapeUntrusted(request.GetHost(), 256);
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return "host " + host + " not found: " + text;
        case CURLE_COULDNT_CONNECT: {
            long osErrno = 0;
            if (curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osErrno) == CURLE_OK &&
                osErrno != 0) {
                return describeTarget(request) +
                       " unreachable: " + systemErrorText(static_cast<int>(osErrno));
            }
            return describeTarget(request) + " unreachable: " + text;
        }
        case CURLE_OPERATION_TIMEDOUT:
            return describeTarget(request) + " timed out: " + text;
        case CURLE_PEER_FAILED_VERIFICATION:
            return "certificate of " + host + " not trusted: " + text;
        default:
            if (isSecureChannelFailure(code)) {
                return "secure channel to " + describeTarget(request) + " failed: " + text;
            }
            return "exchange with " + describeTarget(request) + " failed: " + text;
    }
}

// The request's target as a libcurl URL handle. The host is set as a part of
// its own, so text such as "user@host" cannot turn into credentials.
CurlPtr<CURLU> buildUrl(const HttpRequest& request) {
    CurlPtr<CURLU> url(curl_url());
    if (!url) {
        return nullptr;
    }
    const std::string port = std::to_string(request.GetPort());
    // libcurl needs an explicit "/" for an empty path.
    const std::string path = request.GetPath().empty() ? "/" : request.GetPath();
    if (curl_url_set(url.get(), CURLUPART_SCHEME, "https", 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_HOST, request.GetHost().c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
        return nullptr;
    }
    return url;
}

// Session-wide settings: protocol, TLS, time-outs, proxy. False when a
// setting that bounds the exchange could not be applied.
bool curlInit(CURL* handle, const HttpRequest& request, CURLU* url, X509_STORE* store,
              long overallTimeoutMs) {
    // The library's own idiom: a version and a ceiling or-ed into one value.
    // NOLINTNEXTLINE(bugprone-suspicious-enum-usage)
    if (curl_easy_setopt(handle, CURLOPT_SSLVERSION,
                         CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2) != CURLE_OK) {
        // Never fall back to whatever versions the library would allow.
        VORN_LOG_AS(CVORNLogger::kError, kStepSecurityProtocols, "Unable to set protocol options");
        return false;
    }
    if (curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, HttpTransport::kTimeoutMs) !=
            CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, overallTimeoutMs) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepTimeouts, "unable to set timeout values");
        return false;
    }
    if (curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        // A resolver thread stuck on a dead name server is left to finish on
        // its own instead of being waited for when the handle goes.
        curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) != CURLE_OK ||
        // An empty proxy disables every proxy, including those of the environment.
        curl_easy_setopt(handle, CURLOPT_PROXY, "") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_USERAGENT, request.GetUserAgent().c_str()) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepInit, "Unable to open handle");
        return false;
    }
    if (curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, useSharedTrustStore) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, store) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepSecurityProtocols, "Unable to set protocol options");
        return false;
    }
    if (curl_easy_setopt(handle, CURLOPT_CURLU, url) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepInit, "Unable to open connect handle");
        return false;
    }
    return true;
}

// Per-request settings: verb, path handling, redirects, headers, body.
bool createRequest(CURL* handle, const HttpRequest& request, curl_slist* headers) {
    const std::string method = HttpRequest::GetHttpMethodString(request.GetMethod());
    if (method.empty()) {
        VORN_LOG_AS(CVORNLogger::kError, kStepCreateRequest, "Unable to open request handle");
        return false;
    }
    const std::string& body = request.GetBody();
    CURLcode code = CURLE_OK;
    if (request.GetMethod() == GET) {
        code = curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else if (request.GetMethod() == HEAD) {
        code = curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else {
        // The body outlives the transfer, so libcurl need not copy it.
        code = curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(body.size()));
        if (code == CURLE_OK) {
            code = curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
        }
        if (code == CURLE_OK && request.GetMethod() != POST) {
            code = curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    }
    if (code != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepCreateRequest, "Unable to open request handle");
        return false;
    }
    if (curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(HttpTransport::kMaxResponseBody)) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepCreateRequest, "Failed to set options");
        return false;
    }
    return true;
}

// The request's header block as libcurl's list of lines. "Expect:" stops
// libcurl from holding back a larger body for a "100 Continue" that a
// server need not send.
bool headerList(const HttpRequest& request, CurlPtr<curl_slist>& list) {
    const std::string block = request.GetHeaderString() + "Expect:\r\n";
    size_t start = 0;
    for (size_t end = block.find("\r\n"); end != std::string::npos;
         start = end + 2, end = block.find("\r\n", start)) {
        curl_slist* extended =
            curl_slist_append(list.get(), block.substr(start, end - start).c_str());
        if (extended == nullptr) {
            return false;
        }
        (void)list.release();
        list.reset(extended);
    }
    return true;
}

// Removes the easy handle from the multi handle before either is cleaned up,
// the order libcurl requires.
class MultiAttachment {
public:
    MultiAttachment(CURLM* multi, CURL* handle)
        : m_multi(multi),
          m_handle(handle),
          m_added(curl_multi_add_handle(multi, handle) == CURLM_OK) {}
    ~MultiAttachment() {
        if (m_added) {
            (void)curl_multi_remove_handle(m_multi, m_handle);
        }
    }
    MultiAttachment(const MultiAttachment&) = delete;
    MultiAttachment& operator=(const MultiAttachment&) = delete;
    bool Added() const { return m_added; }

private:
    CURLM* m_multi;
    CURL* m_handle;
    bool m_added;
};

// Drives one transfer to its end. The waits are libcurl's own (sockets,
// resolver, time-outs), woken early by curl_multi_wakeup from Abort; the
// abort flag is looked at before every step.
CURLcode runTransfer(CURLM* multi, const std::atomic<bool>& aborted) {
    for (;;) {
        if (aborted.load()) {
            return CURLE_ABORTED_BY_CALLBACK;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        if (running == 0) {
            int left = 0;
            while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg == CURLMSG_DONE) {
                    return message->data.result;
                }
            }
            return CURLE_FAILED_INIT;
        }
        // libcurl shortens the wait to its next time-out on its own.
        if (curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
    }
}

}  // namespace

void HttpTransport::Prepare() {
    (void)trustStoreCache().Get();
    // The first TLS context of a process fetches and caches the library's
    // algorithm implementations; later contexts (one per exchange) reuse them.
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_free(context);
}

std::unique_ptr<IHttpTransport> CreateHttpTransport() {
    return std::make_unique<HttpTransport>();
}

HttpTransport::HttpTransport(long overallTimeoutMs) : m_nOverallTimeoutMs(overallTimeoutMs) {}

HttpTransport::~HttpTransport() = default;

void HttpTransport::Abort() {
    m_bAborted.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pActiveMulti != nullptr) {
        (void)curl_multi_wakeup(static_cast<CURLM*>(m_pActiveMulti));
    }
}

VORN_STATUS HttpTransport::SendRequest(const HttpRequest& request, HttpResponse& response) {
    CurlPtr<CURL> handle(curl_easy_init());
    CurlPtr<CURLU> url = buildUrl(request);
    CurlPtr<X509_STORE> store = trustStoreCache().Get();
    if (!store) {
        VORN_LOG_ERROR("Unable to load the trusted certificates");
        response.SetFailureReason("the trusted certificates cannot be loaded");
        return VORN_SECURE_CHANNEL_FAILED;
    }
    if (!handle) {
        VORN_LOG_AS(CVORNLogger::kError, kStepInit, "Unable to open handle");
    } else if (!url) {
        VORN_LOG_AS(CVORNLogger::kError, kStepInit, "Unable to open connect handle");
    }
    if (!handle || !url ||
        !curlInit(handle.get(), request, url.get(), store.get(), m_nOverallTimeoutMs)) {
        VORN_LOG_ERROR("HttpInit failed.");
        return VORN_ERROR;
    }
    CurlPtr<curl_slist> headers;
    if (!headerList(request, headers) || !createRequest(handle.get(), request, headers.get())) {
        VORN_LOG_ERROR("CreateRequest failed.");
        return VORN_ERROR;
    }

    Exchange exchange;
    exchange.aborted = &m_bAborted;
    exchange.handle = handle.get();
    char errorText[CURL_ERROR_SIZE] = {};
    if (curl_easy_setopt(handle.get(), CURLOPT_HEADERFUNCTION, collectHeader) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_HEADERDATA, &exchange) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, collectBody) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &exchange) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, errorText) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, watchProgress) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &exchange) != CURLE_OK ||
        curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepCreateRequest, "Failed to set options");
        VORN_LOG_ERROR("CreateRequest failed.");
        return VORN_ERROR;
    }

    CurlMultiPtr multi(curl_multi_init());
    if (!multi) {
        VORN_LOG_AS(CVORNLogger::kError, kStepInit, "Unable to open handle");
        return VORN_ERROR;
    }
    CURLcode code = CURLE_FAILED_INIT;
    bool overall = false;  // the whole exchange's time ran out
    {
        MultiAttachment attachment(multi.get(), handle.get());
        if (!attachment.Added()) {
            VORN_LOG_AS(CVORNLogger::kError, kStepInit, "Unable to open handle");
            return VORN_ERROR;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pActiveMulti = multi.get();
        }
        const auto started = std::chrono::steady_clock::now();
        code = runTransfer(multi.get(), m_bAborted);
        // The library keeps its own clock, which may read a little ahead of
        // this one; its time-out near the overall bound is that bound's.
        overall = std::chrono::steady_clock::now() - started + kClockSlack >=
                  std::chrono::milliseconds(m_nOverallTimeoutMs);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pActiveMulti = nullptr;
    }
    if (m_bAborted.load()) {
        VORN_LOG_ERROR("Unable to send request: the exchange was abandoned");
        return VORN_ERROR;
    }
    if (exchange.outOfMemory) {
        VORN_LOG_AS(CVORNLogger::kError, kStepData, "Out of memory");
        return VORN_ERROR;
    }
    if (exchange.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        VORN_LOG_AS(CVORNLogger::kError, kStepData, "Response body larger than %zu bytes",
                    kMaxResponseBody);
        response.SetFailureReason("answer from " + describeTarget(request) + " larger than " +
                                  std::to_string(kMaxResponseBody) + " bytes");
        return VORN_ERROR;
    }
    if (exchange.stalled) {
        VORN_LOG_AS(CVORNLogger::kError, kStepParseResponse,
                    "Unable to receive response: nothing moved for %ld ms", kTimeoutMs);
        response.SetFailureReason(describeTarget(request) + " timed out: nothing moved for " +
                                  std::to_string(kTimeoutMs) + " ms");
        return VORN_ERROR;
    }
    if (code == CURLE_OPERATION_TIMEDOUT && overall) {
        VORN_LOG_AS(CVORNLogger::kError, kStepParseResponse,
                    "Unable to receive response: the exchange took longer than %ld ms",
                    m_nOverallTimeoutMs);
        response.SetFailureReason(describeTarget(request) +
                                  " timed out: the exchange took longer than " +
                                  std::to_string(m_nOverallTimeoutMs) + " ms");
        return VORN_ERROR;
    }
    if (code != CURLE_OK) {
        // The library's text may quote what the peer sent (a certificate's
        // names, a malformed head).
        const char* libraryText = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        VORN_LOG_ERROR("Unable to send request: %s", EscapeUntrusted(libraryText).c_str());
        response.SetFailureReason(describeFailure(handle.get(), code, libraryText, request));
        return isSecureChannelFailure(code) ? VORN_SECURE_CHANNEL_FAILED : VORN_ERROR;
    }

    long status = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        VORN_LOG_AS(CVORNLogger::kError, kStepStatusCode,
                    "unable to retrieve response status code");
        status = 0;
    }
    response.SetStatus(static_cast<uint32_t>(status));
    // One entry, one line: the block's own line breaks show as \r\n.
    VORN_LOG_AS(CVORNLogger::kVerbose, kStepHeaders, "Header contents: %s",
                EscapeUntrusted(exchange.headers, kLoggedHeaderBytes).c_str());
    response.ParseHeaders(exchange.headers);
    if (exchange.body.empty()) {
        VORN_LOG_AS(CVORNLogger::kDebug, kStepData, "Response %ld has no body", status);
        response.SetFailureReason(describeTarget(request) + " answered HTTP " +
                                  std::to_string(status) + " without a body");
        return VORN_ERROR;
    }
    response.SetBody(std::move(exchange.body));
    return VORN_OK;
}

}  // namespace vorn
