// The transport's trust store: which locations answer, and when the system
// bundle is read.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "agent/linux/truststore.h"
#include "tests/support/cloudservice.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using StorePtr = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;

X509Ptr ReadCertificate(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    X509* cert = file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file != nullptr) {
        fclose(file);
    }
    return X509Ptr(cert, X509_free);
}

bool Verifies(X509_STORE* store, X509* leaf) {
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                            X509_STORE_CTX_free);
    return context && X509_STORE_CTX_init(context.get(), store, leaf, nullptr) == 1 &&
           X509_verify_cert(context.get()) == 1;
}

int Held(X509_STORE* store) {
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
}

TEST(TrustStore, EachLocationAnswersAndTheSystemBundleIsReadOnlyWhenNeeded) {
    const std::string certs = test::CloudServiceCertificates().path();
    const X509Ptr ca = ReadCertificate(certs + "/ca.pem");
    const X509Ptr server = ReadCertificate(certs + "/server.pem");
    ASSERT_TRUE(ca && server);
    // A hashed directory holding the test CA under its subject hash.
    test::TempDir hashed;
    char name[32];
    snprintf(name, sizeof(name), "%08lx.0", X509_subject_name_hash(ca.get()));
    ASSERT_EQ(symlink((certs + "/ca.pem").c_str(), hashed.file(name).c_str()), 0);
    test::TempDir empty;

    const struct {
        const char* name;
        TrustLocations locations;
        int heldAtOnce;  // certificates in the store before any verification
        bool verifies;
        int heldAfterward;  // -1: not checked
    } cases[] = {
        {"named file read at once", {certs + "/ca.pem", true, empty.path()}, 1, true, 1},
        {"bundle read when the directory lacks the issuer",
         {certs + "/ca.pem", false, empty.path()},
         0,
         true,
         1},
        // The bundle holds only a certificate no one issued the server's: had
        // it been read, the store would hold two.
        {"directory answers, bundle never read",
         {certs + "/untrusted.pem", false, empty.path() + ":" + hashed.path()},
         0,
         true,
         1},
        {"neither holds the issuer", {certs + "/untrusted.pem", false, empty.path()}, 0, false, -1},
        {"missing locations", {certs + "/none.pem", false, certs + "/none"}, 0, false, 0},
        {"missing named file", {certs + "/none.pem", true, hashed.path()}, 0, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StorePtr store(NewTrustStore(c.locations), X509_STORE_free);
        ASSERT_TRUE(store);
        EXPECT_EQ(Held(store.get()), c.heldAtOnce);
        EXPECT_EQ(Verifies(store.get(), server.get()), c.verifies);
        if (c.heldAfterward >= 0) {
            EXPECT_EQ(Held(store.get()), c.heldAfterward);
        }
        // A second verification is answered from the store as the first was.
        EXPECT_EQ(Verifies(store.get(), server.get()), c.verifies);
    }
}

TEST(TrustStore, LocationsFollowTheEnvironment) {
    {
        test::ScopedEnv file("SSL_CERT_FILE", "/x/bundle.pem");
        test::ScopedEnv dir("SSL_CERT_DIR", "/x/a:/x/b");
        const TrustLocations named = CurrentTrustLocations();
        EXPECT_EQ(named.file, "/x/bundle.pem");
        EXPECT_TRUE(named.fileNamed);
        EXPECT_EQ(named.directories, "/x/a:/x/b");
    }
    test::ScopedEnv file("SSL_CERT_FILE", std::nullopt);
    test::ScopedEnv dir("SSL_CERT_DIR", std::nullopt);
    const TrustLocations system = CurrentTrustLocations();
    EXPECT_EQ(system.file, X509_get_default_cert_file());
    EXPECT_FALSE(system.fileNamed);
    EXPECT_EQ(system.directories, X509_get_default_cert_dir());
}

}  // namespace
}  // namespace vorn
