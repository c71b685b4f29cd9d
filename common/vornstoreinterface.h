// The identity store's key-value back end, as seen by its one user, the store
// reader/writer. Keys are plain strings; every value is a string.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/vornstatus.h"

namespace vorn {

class IVORNStoreInterface {
public:
    using KeyValueList = std::vector<std::pair<std::string, std::string>>;

    virtual ~IVORNStoreInterface() = default;

    // Binds the back end to the store at 'storePath'. Called once, before any
    // other operation.
    virtual VORN_STATUS Initialize(const std::string& storePath) = 0;

    // Reads the string value of 'key' into 'value'. 'value' is emptied first,
    // so it is empty on every failure. VORN_OK when found; VORN_FAILED when the
    // value cannot be read; VORN_ERROR when not initialised.
    virtual VORN_STATUS ReadKeyValue(const std::string& key, std::string& value) = 0;

    // Sets 'key' to 'value', adding the key when it is new. VORN_OK when the
    // store now holds the value; VORN_ERROR otherwise, with the store as it was.
    virtual VORN_STATUS WriteKeyValue(const std::string& key, const std::string& value) = 0;

    // Sets every key of 'keyValues', in order, in one replace of the store:
    // a reader (in this or another process) sees all of them or none of them.
    // VORN_OK when all were stored; VORN_ERROR otherwise, with the store as it
    // was. An empty list succeeds without touching the store.
    virtual VORN_STATUS WriteKeyValues(const KeyValueList& keyValues) = 0;
};

}  // namespace vorn
