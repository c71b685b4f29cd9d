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
};

}  // namespace vorn
