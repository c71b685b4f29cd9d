#include "agent/cryptoutils.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "common/vornlogger.h"

namespace vorn {

namespace {

struct EvpContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct BioChainDeleter {
    void operator()(BIO* chain) const { BIO_free_all(chain); }
};

}  // namespace

VORN_STATUS GetSHA1Hash(const unsigned char* data, size_t length, std::string& digest) {
    if (data == nullptr) {
        return VORN_INVALID_ARGUMENT;
    }
    std::unique_ptr<EVP_MD_CTX, EvpContextDeleter> context(EVP_MD_CTX_new());
    if (!context) {
        VORN_LOG_ERROR("EVP_MD_CTX_new failed.");
        return VORN_FAILED;
    }
    if (EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1) {
        VORN_LOG_ERROR("EVP_DigestInit_ex failed.");
        return VORN_FAILED;
    }
    if (EVP_DigestUpdate(context.get(), data, length) != 1) {
        VORN_LOG_ERROR("EVP_DigestUpdate failed.");
        return VORN_FAILED;
    }
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), bytes, &size) != 1) {
        VORN_LOG_ERROR("EVP_DigestFinal_ex failed.");
        return VORN_FAILED;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0f];
    }
    digest = std::move(text);
    return VORN_OK;
}

VORN_STATUS Base64Encode(const std::string& input, std::string& output) {
    BIO* base64 = BIO_new(BIO_f_base64());
    if (base64 == nullptr) {
        return VORN_FAILED;
    }
    BIO* sink = BIO_new(BIO_s_mem());
    if (sink == nullptr) {
        BIO_free(base64);
        return VORN_FAILED;
    }
    BIO_set_flags(base64, BIO_FLAGS_BASE64_NO_NL);
    std::unique_ptr<BIO, BioChainDeleter> chain(BIO_push(base64, sink));

    // BIO_write takes an int count; a partial write is continued, a write that
    // makes no progress (always the case for empty input) is a failure.
    size_t written = 0;
    do {
        const size_t remaining = input.size() - written;
        const int chunk = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
        const int result = BIO_write(chain.get(), input.data() + written, chunk);
        if (result <= 0) {
            return VORN_FAILED;
        }
        written += static_cast<size_t>(result);
    } while (written < input.size());

    if (BIO_flush(chain.get()) != 1) {
        return VORN_FAILED;
    }
    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(sink, &memory);
    if (memory == nullptr) {
        return VORN_FAILED;
    }
    output.assign(memory->data, memory->length);
    return VORN_OK;
}

}  // namespace vorn
