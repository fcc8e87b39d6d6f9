#pragma once
// ECDSA signature checks from the system: CNG (bcrypt.dll, crypt32.dll) on Windows,
// OpenSSL's libcrypto on Linux.
#include <string_view>

namespace platform {

// Whether `signature` (64 bytes: r then s, each 32 bytes big-endian) is an ECDSA
// P-256 signature of the SHA-256 of `message` by the key whose SubjectPublicKeyInfo
// (DER) is `publicKeyDer`. A key that cannot be read, or one on another curve, verifies
// nothing.
bool VerifyEcdsaP256Sha256(std::string_view publicKeyDer, std::string_view message, std::string_view signature);

}  // namespace platform
