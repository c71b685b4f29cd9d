// The agent's typed, caching view of the identity store.
//
// Five keys: "vorn", "vorn_token", "instance_key", "retry-after" (seconds
// since 1970-01-01 UTC as signed decimal text) and "retry-after-received"
// (the Retry-After seconds of the answer that set "retry-after" and when it
// came, as "<seconds> <seconds since 1970>"). Each value is cached in memory
// once read or set; the file is consulted again only for a value still empty
// (a timestamp still 0 or less), and not at all between BeginRefresh and
// EndRefresh, which read every key once. Getters never fail; setters report
// the back end's result and keep the cache unchanged on failure.
//
// One process-wide instance (GetInstance) serves the agent. Other instances
// may be constructed directly, for example by a client tool that opens the
// store read-only, or by tests. All operations may be called from any thread;
// one internal mutex serialises them (the back end's lock file serialises
// processes).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "agent/vornidentitystore.h"
#include "common/vornstorefileimpl.h"

namespace vorn {

class CVORNStoreReaderWriter : public IVORNIdentityStore {
public:
    enum eStoreType : int { eStoreTypeFile = 1 };

    static constexpr const char* pszKeyVorn = "vorn";
    static constexpr const char* pszKeyToken = "vorn_token";
    static constexpr const char* pszKeyInstanceKey = "instance_key";
    static constexpr const char* pszKeyRetryAfter = "retry-after";
    static constexpr const char* pszKeyRetryAfterReceived = "retry-after-received";
    // The lock waiting one refresh may spend in all.
    static constexpr std::chrono::milliseconds kRefreshLockBudget{10000};

    // The process's instance, created empty on first use, destroyed at exit.
    static CVORNStoreReaderWriter& GetInstance();

    CVORNStoreReaderWriter() = default;
    ~CVORNStoreReaderWriter() override = default;
    CVORNStoreReaderWriter(const CVORNStoreReaderWriter&) = delete;
    CVORNStoreReaderWriter& operator=(const CVORNStoreReaderWriter&) = delete;

    // Opens the store of type 'storeType' (only eStoreTypeFile) at 'storePath'
    // for reading and writing, creating its lock file. VORN_OK, or
    // VORN_INVALID_ARGUMENT for an unknown type (the current back end is
    // kept) or an unusable path (no back end afterwards). Caches are kept.
    VORN_STATUS Initialize(int storeType, const std::string& storePath);

    // The same for a process that only looks at the store (vornctl status):
    // nothing is created, only shared locks are taken, and every setter fails
    // with VORN_ERROR.
    VORN_STATUS InitializeReadOnly(int storeType, const std::string& storePath);

    std::string GetVORN() override;
    std::string GetToken() override;
    std::string GetInstanceKey() override;
    // A stored text that does not start with a number reads as 0 (with the
    // fetch warning) and is looked up again next time.
    std::chrono::seconds GetRetryTimestamp() override;

    VORN_STATUS SetVORN(const std::string& vorn) override;
    VORN_STATUS SetToken(const std::string& token) override;
    VORN_STATUS SetInstanceKey(const std::string& instanceKey) override;
    VORN_STATUS SetRetryTimestamp(std::chrono::seconds timestamp) override;
    // Logs and caches as SetToken, SetVORN and SetInstanceKey would, one line
    // per key, but writes the keys in one replace of the store.
    VORN_STATUS SetIdentity(const std::string& token, const std::string& vorn,
                            const std::string& instanceKey) override;

    // Text that is not two numbers reads as none (zeros).
    RetryAfterReceived GetRetryAfterReceived() override;
    VORN_STATUS SetRetryAfter(std::chrono::seconds timestamp,
                              const RetryAfterReceived& received) override;

    VORN_STATUS BeginRefresh() override;
    void EndRefresh() override;

private:
    VORN_STATUS initialize(int storeType, const std::string& storePath, bool readOnly);
    // The retry timestamp from its stored text (m_mutex held); 0 when the
    // text holds no number.
    std::chrono::seconds parseRetryTimestamp(const std::string& text);

    std::mutex m_mutex;
    std::unique_ptr<CVORNStoreFileImpl> m_pStore;
    // Between BeginRefresh and EndRefresh: every key was read once.
    bool m_bRefreshLoaded = false;
    RetryAfterReceived m_retryAfterReceived;
    std::string m_strVorn;
    std::string m_strToken;
    std::string m_strInstanceKey;
    std::chrono::seconds m_nRetryTimestamp{0};
};

}  // namespace vorn
