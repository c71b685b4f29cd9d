#include "agent/vornstorereaderwriter.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/vornlogger.h"
#include "common/vornstorefileimpl.h"

namespace vorn {

CVORNStoreReaderWriter& CVORNStoreReaderWriter::GetInstance() {
    static CVORNStoreReaderWriter instance;
    return instance;
}

VORN_STATUS CVORNStoreReaderWriter::Initialize(int storeType, const std::string& storePath) {
    return initialize(storeType, storePath, false);
}

VORN_STATUS CVORNStoreReaderWriter::InitializeReadOnly(int storeType,
                                                       const std::string& storePath) {
    return initialize(storeType, storePath, true);
}

VORN_STATUS CVORNStoreReaderWriter::initialize(int storeType, const std::string& storePath,
                                               bool readOnly) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (storeType != eStoreTypeFile) {
        VORN_LOG_ERROR("Init failed. Invalid Store Type");
        return VORN_INVALID_ARGUMENT;
    }
    m_pStore.reset(new (std::nothrow) CVORNStoreFileImpl(
        readOnly ? CVORNStoreFileImpl::eOpenReadOnly : CVORNStoreFileImpl::eOpenReadWrite));
    if (!m_pStore || m_pStore->Initialize(storePath) != VORN_OK) {
        VORN_LOG_ERROR("Init failed. Invalid Store Path");
        m_pStore.reset();
        return VORN_INVALID_ARGUMENT;
    }
    VORN_LOG_DEBUG("Init done");
    return VORN_OK;
}

std::string CVORNStoreReaderWriter::GetVORN() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore || !m_strVorn.empty() || m_bRefreshLoaded) {
        return m_strVorn;
    }
    if (m_pStore->ReadKeyValue(pszKeyVorn, m_strVorn) != VORN_OK) {
        VORN_LOG_WARNING("Fetching VORN failed. Returning VORN = []");
    } else {
        VORN_LOG_DEBUG("New VORN value returned.");
    }
    return m_strVorn;
}

std::string CVORNStoreReaderWriter::GetToken() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore || !m_strToken.empty() || m_bRefreshLoaded) {
        return m_strToken;
    }
    if (m_pStore->ReadKeyValue(pszKeyToken, m_strToken) != VORN_OK) {
        VORN_LOG_WARNING("Fetching Token failed. Returning Token = []");
    } else {
        VORN_LOG_DEBUG("New Token value returned.");
    }
    return m_strToken;
}

std::string CVORNStoreReaderWriter::GetInstanceKey() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore || !m_strInstanceKey.empty() || m_bRefreshLoaded) {
        return m_strInstanceKey;
    }
    if (m_pStore->ReadKeyValue(pszKeyInstanceKey, m_strInstanceKey) != VORN_OK) {
        VORN_LOG_WARNING("Fetching Instance key failed. Returning empty key.");
    } else {
        VORN_LOG_DEBUG("Valid Instance key value returned.");
    }
    return m_strInstanceKey;
}

std::chrono::seconds CVORNStoreReaderWriter::GetRetryTimestamp() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore || m_nRetryTimestamp.count() > 0 || m_bRefreshLoaded) {
        return m_nRetryTimestamp;
    }
    std::string text;
    if (m_pStore->ReadKeyValue(pszKeyRetryAfter, text) != VORN_OK) {
        VORN_LOG_WARNING("Fetching Retry timestamp failed. Returning Retry After Seconds = 0");
        return std::chrono::seconds(0);
    }
    return parseRetryTimestamp(text);
}

std::chrono::seconds CVORNStoreReaderWriter::parseRetryTimestamp(const std::string& text) {
    // Leading white space, an optional sign, digits up to the first other
    // character. Text without a number (a hand-edited file) means no rate
    // limit rather than a failure.
    const char* begin = text.c_str();
    char* end = nullptr;
    const long long value = std::strtoll(begin, &end, 10);
    if (end == begin) {
        VORN_LOG_WARNING("Fetching Retry timestamp failed. Returning Retry After Seconds = 0");
        return std::chrono::seconds(0);
    }
    m_nRetryTimestamp = std::chrono::seconds(value);
    VORN_LOG_DEBUG("Getting Retry Timestamp = [%lld]",
                   static_cast<long long>(m_nRetryTimestamp.count()));
    return m_nRetryTimestamp;
}

namespace {

// "<seconds> <seconds since 1970>"; false for anything else.
bool ParseRetryAfterReceived(const std::string& text,
                             IVORNIdentityStore::RetryAfterReceived& received) {
    long long seconds = 0;
    long long at = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%lld %lld%n", &seconds, &at, &consumed) != 2 ||
        static_cast<size_t>(consumed) != text.size() || seconds <= 0) {
        return false;
    }
    received.seconds = std::chrono::seconds(seconds);
    received.at = std::chrono::seconds(at);
    return true;
}

}  // namespace

IVORNIdentityStore::RetryAfterReceived CVORNStoreReaderWriter::GetRetryAfterReceived() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore || m_retryAfterReceived.seconds.count() > 0 || m_bRefreshLoaded) {
        return m_retryAfterReceived;
    }
    std::string text;
    // Absent before the first rate limit, and in stores of older versions.
    if (m_pStore->ReadKeyValue(pszKeyRetryAfterReceived, text) == VORN_OK &&
        !ParseRetryAfterReceived(text, m_retryAfterReceived)) {
        VORN_LOG_WARNING("Stored %s is not two numbers; ignored", pszKeyRetryAfterReceived);
    }
    return m_retryAfterReceived;
}

VORN_STATUS CVORNStoreReaderWriter::SetRetryAfter(std::chrono::seconds timestamp,
                                                  const RetryAfterReceived& received) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore) {
        VORN_LOG_ERROR("Setting Retry After timestamp failed - Initialization not done");
        return VORN_ERROR;
    }
    const std::string receivedText =
        std::to_string(static_cast<long long>(received.seconds.count())) + " " +
        std::to_string(static_cast<long long>(received.at.count()));
    const VORN_STATUS status = m_pStore->WriteKeyValues(
        {{pszKeyRetryAfter, std::to_string(static_cast<long long>(timestamp.count()))},
         {pszKeyRetryAfterReceived, receivedText}});
    if (status != VORN_OK) {
        VORN_LOG_ERROR("Setting Retry After timestamp failed");
        return status;
    }
    m_nRetryTimestamp = timestamp;
    m_retryAfterReceived = received;
    VORN_LOG_DEBUG("Setting Retry After timestamp done");
    return VORN_OK;
}

VORN_STATUS CVORNStoreReaderWriter::BeginRefresh() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore) {
        return VORN_OK;
    }
    m_pStore->BeginLockBudget(kRefreshLockBudget);
    const std::vector<std::string> keys = {pszKeyVorn, pszKeyToken, pszKeyInstanceKey,
                                           pszKeyRetryAfter, pszKeyRetryAfterReceived};
    std::vector<std::string> values;
    int openError = 0;
    const VORN_STATUS status = m_pStore->ReadKeyValues(keys, values, openError);
    if (m_pStore->LockRefused()) {
        return VORN_FAILED;
    }
    // A store that is missing, empty or unreadable holds nothing this
    // refresh can use; the getters say so without reading it again.
    m_bRefreshLoaded = true;
    if (status != VORN_OK) {
        if (openError != ENOENT) {
            VORN_LOG_WARNING("Store could not be read; nothing stored is used");
        }
        return VORN_OK;
    }
    // A value already cached stays in force, as for the single getters.
    std::string* const caches[] = {&m_strVorn, &m_strToken, &m_strInstanceKey};
    for (size_t i = 0; i < 3; ++i) {
        if (caches[i]->empty()) {
            *caches[i] = values[i];
        }
    }
    if (m_nRetryTimestamp.count() <= 0 && !values[3].empty()) {
        (void)parseRetryTimestamp(values[3]);
    }
    if (m_retryAfterReceived.seconds.count() <= 0 && !values[4].empty() &&
        !ParseRetryAfterReceived(values[4], m_retryAfterReceived)) {
        VORN_LOG_WARNING("Stored %s is not two numbers; ignored", pszKeyRetryAfterReceived);
    }
    return VORN_OK;
}

void CVORNStoreReaderWriter::EndRefresh() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bRefreshLoaded = false;
    if (m_pStore) {
        m_pStore->EndLockBudget();
    }
}

VORN_STATUS CVORNStoreReaderWriter::SetVORN(const std::string& vorn) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore) {
        VORN_LOG_ERROR("Setting VORN failed - Initialize not done");
        return VORN_ERROR;
    }
    const VORN_STATUS status = m_pStore->WriteKeyValue(pszKeyVorn, vorn);
    if (status != VORN_OK) {
        VORN_LOG_ERROR("Setting VORN failed");
        return status;
    }
    m_strVorn = vorn;
    VORN_LOG_DEBUG("VORN updated");
    return VORN_OK;
}

VORN_STATUS CVORNStoreReaderWriter::SetToken(const std::string& token) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore) {
        VORN_LOG_ERROR("Setting Token failed - Initialize not done");
        return VORN_ERROR;
    }
    const VORN_STATUS status = m_pStore->WriteKeyValue(pszKeyToken, token);
    if (status != VORN_OK) {
        VORN_LOG_ERROR("Setting Token failed");
        return status;
    }
    m_strToken = token;
    VORN_LOG_DEBUG("Setting Token done");
    return VORN_OK;
}

VORN_STATUS CVORNStoreReaderWriter::SetInstanceKey(const std::string& instanceKey) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore) {
        VORN_LOG_ERROR("Setting Instance Key failed - Initialize not done");
        return VORN_ERROR;
    }
    const VORN_STATUS status = m_pStore->WriteKeyValue(pszKeyInstanceKey, instanceKey);
    if (status != VORN_OK) {
        VORN_LOG_ERROR("Setting Instance Key failed");
        return status;
    }
    m_strInstanceKey = instanceKey;
    VORN_LOG_DEBUG("Setting Instance Key done");
    return VORN_OK;
}

VORN_STATUS CVORNStoreReaderWriter::SetRetryTimestamp(std::chrono::seconds timestamp) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_pStore) {
        VORN_LOG_ERROR("Setting Retry After timestamp failed - Initialization not done");
        return VORN_ERROR;
    }
    const std::string text = std::to_string(static_cast<long long>(timestamp.count()));
    const VORN_STATUS status = m_pStore->WriteKeyValue(pszKeyRetryAfter, text);
    if (status != VORN_OK) {
        VORN_LOG_ERROR("Setting Retry After timestamp failed");
        return status;
    }
    m_nRetryTimestamp = timestamp;
    VORN_LOG_DEBUG("Setting Retry After timestamp done");
    return VORN_OK;
}

VORN_STATUS CVORNStoreReaderWriter::SetIdentity(const std::string& token, const std::string& vorn,
                                                const std::string& instanceKey) {
    std::lock_guard<std::mutex> guard(m_mutex);
    const bool withInstanceKey = !instanceKey.empty();
    if (!m_pStore) {
        VORN_LOG_ERROR("Setting Token failed - Initialize not done");
        VORN_LOG_ERROR("Setting VORN failed - Initialize not done");
        if (withInstanceKey) {
            VORN_LOG_ERROR("Setting Instance Key failed - Initialize not done");
        }
        return VORN_ERROR;
    }
    IVORNStoreInterface::KeyValueList keyValues = {{pszKeyToken, token}, {pszKeyVorn, vorn}};
    if (withInstanceKey) {
        keyValues.emplace_back(pszKeyInstanceKey, instanceKey);
    }
    // One replace: a kill between the keys can no longer pair the token of
    // one answer with the VORN id of another.
    const VORN_STATUS status = m_pStore->WriteKeyValues(keyValues);
    if (status != VORN_OK) {
        VORN_LOG_ERROR("Setting Token failed");
        VORN_LOG_ERROR("Setting VORN failed");
        if (withInstanceKey) {
            VORN_LOG_ERROR("Setting Instance Key failed");
        }
        return status;
    }
    m_strToken = token;
    VORN_LOG_DEBUG("Setting Token done");
    m_strVorn = vorn;
    VORN_LOG_DEBUG("VORN updated");
    if (withInstanceKey) {
        m_strInstanceKey = instanceKey;
        VORN_LOG_DEBUG("Setting Instance Key done");
    }
    return VORN_OK;
}

}  // namespace vorn
