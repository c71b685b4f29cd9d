#include "agent/vornstorereaderwriter.h"

#include <cstdlib>
#include <new>

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
    if (!m_pStore || !m_strVorn.empty()) {
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
    if (!m_pStore || !m_strToken.empty()) {
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
    if (!m_pStore || !m_strInstanceKey.empty()) {
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
    if (!m_pStore || m_nRetryTimestamp.count() > 0) {
        return m_nRetryTimestamp;
    }
    std::string text;
    if (m_pStore->ReadKeyValue(pszKeyRetryAfter, text) != VORN_OK) {
        VORN_LOG_WARNING("Fetching Retry timestamp failed. Returning Retry After Seconds = 0");
        return std::chrono::seconds(0);
    }
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
