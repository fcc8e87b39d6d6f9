#pragma once
// Whether HTTPS requests check the server's certificate and host name: one choice for
// every request of the launcher, applied to each libcurl handle in one place. With
// checks on, libcurl trusts what the system trusts: the CA bundle of the distribution
// on Linux, the certificate store through Schannel on Windows; and redirects may only
// lead to HTTPS.
#include <string>

namespace net {

struct TlsPolicy {
  // Off unless the studio asks for it: servers may use self-signed certificates.
  bool verifyPeer = false;
};

// Sets `policy` on `curl`, a libcurl easy handle (CURL is void in libcurl's headers).
void ApplyTlsPolicy(void* curl, const TlsPolicy& policy);

// Test seam: with checks on, trust only the certificates in this PEM file instead of
// the system's; empty goes back to the system's. Never the machine's own store in a test.
void TrustOnlyCaFileForTesting(const std::string& pemFile);

}  // namespace net
