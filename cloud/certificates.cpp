#include "cloud/certificates.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace vorn::cloud {
namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Deleter {
    void operator()(X509* p) const { X509_free(p); }
};
struct BioDeleter {
    void operator()(BIO* p) const { BIO_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

constexpr long kValiditySeconds = 365L * 24 * 3600;

PkeyPtr NewKey() {
    return PkeyPtr(EVP_EC_gen("P-256"));
}

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

// A certificate for 'key' named 'commonName', signed by issuerKey as
// 'issuer' (or self-signed when issuer is null).
X509Ptr MakeCertificate(EVP_PKEY* key, const char* commonName, bool isCa, X509* issuer,
                        EVP_PKEY* issuerKey) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        return nullptr;
    }
    // A random positive serial keeps certificates of successive runs apart.
    unsigned char serialBytes[16];
    if (RAND_bytes(serialBytes, sizeof(serialBytes)) != 1) {
        return nullptr;
    }
    serialBytes[0] &= 0x7F;
    BIGNUM* serial = BN_bin2bn(serialBytes, sizeof(serialBytes), nullptr);
    const bool serialSet =
        serial != nullptr && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
    BN_free(serial);
    if (!serialSet) {
        return nullptr;
    }
    // Start an hour back so a peer whose clock lags slightly still accepts it.
    if (X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) == nullptr ||
        X509_set_pubkey(cert.get(), key) != 1) {
        return nullptr;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("vorn test"), -1, -1,
                                   0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0) != 1) {
        return nullptr;
    }
    X509* signer = issuer != nullptr ? issuer : cert.get();
    if (X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) != 1) {
        return nullptr;
    }
    bool ok = AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (isCa) {
        ok = ok && AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExtension(cert.get(), signer, NID_key_usage,
                          "critical,digitalSignature,keyEncipherment") &&
             AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
             AddExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    if (issuer != nullptr) {
        ok = ok && AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!ok || X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) <= 0) {
        return nullptr;
    }
    return cert;
}

// Writes the PEM text to dir/name via a temporary file and rename.
bool WriteFileAtomically(const std::string& dir, const std::string& name, const BioPtr& pem,
                         mode_t mode, std::string& error) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(pem.get(), &data);
    const std::string path = dir + "/" + name;
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    // A leftover temporary file may have had a wider mode.
    bool ok = ::fchmod(fd, mode) == 0;
    for (long written = 0; ok && written < length;) {
        const ssize_t n = ::write(fd, data + written, static_cast<size_t>(length - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += n > 0 ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
    }
    ::close(fd);
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temp + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

bool WriteCertificate(const std::string& dir, const std::string& name, X509* cert,
                      std::string& error) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) {
        error = "cannot encode " + name;
        return false;
    }
    return WriteFileAtomically(dir, name, bio, 0644, error);
}

bool WriteKey(const std::string& dir, const std::string& name, EVP_PKEY* key, std::string& error) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        error = "cannot encode " + name;
        return false;
    }
    return WriteFileAtomically(dir, name, bio, 0600, error);
}

// Creates 'dir' and any missing parent, each mode 0700: the directory will
// hold private keys. An existing directory is used as it is.
bool MakeDirectories(const std::string& dir, std::string& error) {
    struct stat info {};
    if (::stat(dir.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            error = "not a directory: " + dir;
            return false;
        }
        return true;
    }
    if (errno != ENOENT || dir.empty()) {
        error = "cannot use " + dir + ": " + std::strerror(errno);
        return false;
    }
    const size_t slash = dir.find_last_not_of('/') == std::string::npos
                             ? std::string::npos
                             : dir.rfind('/', dir.find_last_not_of('/'));
    if (slash != std::string::npos && slash != 0 && !MakeDirectories(dir.substr(0, slash), error)) {
        return false;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool GenerateTestCertificates(const std::string& dir, std::string& error) {
    if (!MakeDirectories(dir, error)) {
        return false;
    }
    PkeyPtr caKey = NewKey();
    PkeyPtr serverKey = NewKey();
    PkeyPtr untrustedKey = NewKey();
    if (!caKey || !serverKey || !untrustedKey) {
        error = "cannot generate EC P-256 keys";
        return false;
    }
    X509Ptr ca = MakeCertificate(caKey.get(), "vorn test CA", true, nullptr, nullptr);
    X509Ptr server =
        ca ? MakeCertificate(serverKey.get(), "localhost", false, ca.get(), caKey.get()) : nullptr;
    X509Ptr untrusted = MakeCertificate(untrustedKey.get(), "localhost", false, nullptr, nullptr);
    if (!ca || !server || !untrusted) {
        error = "cannot build the certificates";
        return false;
    }
    return WriteCertificate(dir, "ca.pem", ca.get(), error) &&
           WriteKey(dir, "server.key", serverKey.get(), error) &&
           WriteCertificate(dir, "server.pem", server.get(), error) &&
           WriteKey(dir, "untrusted.key", untrustedKey.get(), error) &&
           WriteCertificate(dir, "untrusted.pem", untrusted.get(), error);
}

}  // namespace vorn::cloud
