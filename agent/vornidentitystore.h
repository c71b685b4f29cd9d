// What the agent needs of the identity store: the stored identity, the
// cloud's rate-limit deadline, and a way to record a new identity as one
// change. CVORNStoreReaderWriter is the production implementation; agent
// tests pass a fake.
#pragma once

#include <chrono>
#include <string>

#include "common/vornstatus.h"

namespace vorn {

class IVORNIdentityStore {
public:
    virtual ~IVORNIdentityStore() = default;

    // Never fail: a value that cannot be read comes back empty (0).
    virtual std::string GetVORN() = 0;
    virtual std::string GetToken() = 0;
    virtual std::string GetInstanceKey() = 0;
    // Seconds since 1970-01-01 UTC before which no identity request may be sent.
    virtual std::chrono::seconds GetRetryTimestamp() = 0;

    // VORN_OK, or VORN_ERROR when the value was not stored.
    virtual VORN_STATUS SetVORN(const std::string& vorn) = 0;
    virtual VORN_STATUS SetToken(const std::string& token) = 0;
    virtual VORN_STATUS SetInstanceKey(const std::string& instanceKey) = 0;
    virtual VORN_STATUS SetRetryTimestamp(std::chrono::seconds timestamp) = 0;

    // Stores the token, the VORN id and (unless empty) the instance key of one
    // cloud answer in one change: afterwards the store holds all of them or,
    // on VORN_ERROR, none of them.
    virtual VORN_STATUS SetIdentity(const std::string& token, const std::string& vorn,
                                    const std::string& instanceKey) = 0;

    // The cloud's last rate-limit answer as received: how long it asked to
    // wait and when (seconds since 1970-01-01 UTC, by the clock of that
    // moment). A retry timestamp further from now than 'seconds' can only
    // come from a clock step, since it was set to 'at + seconds'. Zeros when
    // none is stored or it cannot be read.
    struct RetryAfterReceived {
        std::chrono::seconds seconds{0};
        std::chrono::seconds at{0};
    };
    virtual RetryAfterReceived GetRetryAfterReceived() { return {}; }
    // Stores the retry timestamp and what it was made from in one change.
    virtual VORN_STATUS SetRetryAfter(std::chrono::seconds timestamp,
                                      const RetryAfterReceived& received) {
        (void)received;
        return SetRetryTimestamp(timestamp);
    }

    // Bracket the store accesses of one refresh. BeginRefresh reads what is
    // stored once, so the getters until EndRefresh need not go back to the
    // file, and starts one budget of lock waiting for all of them: once a lock
    // was not granted, every later access fails at once. VORN_OK, or
    // VORN_FAILED when the store's lock was not granted (nothing could be
    // read, and no write of this refresh would succeed).
    virtual VORN_STATUS BeginRefresh() { return VORN_OK; }
    virtual void EndRefresh() {}
};

}  // namespace vorn
