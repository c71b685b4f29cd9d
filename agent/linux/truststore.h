// The certificates the transport trusts, as one OpenSSL store.
#pragma once

#include <openssl/x509.h>

#include <string>

namespace vorn {

// Where trusted certificates come from: SSL_CERT_FILE and SSL_CERT_DIR when
// set, else the TLS library's system locations.
struct TrustLocations {
    std::string file;         // a PEM bundle
    bool fileNamed = false;   // 'file' came from SSL_CERT_FILE
    std::string directories;  // hashed certificate directories, ':'-separated
};

TrustLocations CurrentTrustLocations();

// A new store (the caller frees it) trusting every certificate of
// 'locations.directories' and 'locations.file'; a location that is missing or
// unreadable is left out. A named file is read at once. The system bundle is
// read only when a certificate's issuer is not found in the directories:
// parsing its hundreds of certificates costs more than a handshake, while the
// directory holds the same ones under their subject hashes, one file each.
// Returns nullptr when the store cannot be set up.
X509_STORE* NewTrustStore(const TrustLocations& locations);

}  // namespace vorn
