// Test certificates for the reference cloud service, made with the OpenSSL
// API so that no private key ever has to be committed.
#pragma once

#include <string>

namespace vorn::cloud {

// Writes into the directory 'dir', created (mode 0700, parents too) when missing:
//   ca.pem                    a fresh test CA certificate (its key is never written)
//   server.pem, server.key    a server certificate signed by that CA, valid for
//                             IP:127.0.0.1 and DNS:localhost
//   untrusted.pem, .key       a self-signed server certificate for the same names
//                             that no one trusts
// Keys are EC P-256 in PKCS#8 PEM, mode 0600; every file is written to a
// temporary name and renamed, so a reader never sees half a file. Returns true
// on success; on failure 'error' says what failed.
bool GenerateTestCertificates(const std::string& dir, std::string& error);

}  // namespace vorn::cloud
