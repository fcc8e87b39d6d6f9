#include <windows.h>
// bcrypt.h and wincrypt.h need the types of windows.h first.
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/sha256.h"
#include "platform/signature.h"

namespace platform {
namespace {

constexpr ULONG kCoordinateSize = 32;
// The named curve's parameters in the key's algorithm identifier: the DER of the OID
// 1.2.840.10045.3.1.7 (P-256).
constexpr unsigned char kP256Parameters[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
// An uncompressed point: 0x04, then x and y.
constexpr unsigned char kUncompressedPoint = 0x04;

bool Succeeded(NTSTATUS status) { return status >= 0; }

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

class Algorithm {
 public:
  explicit Algorithm(LPCWSTR name) {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
  }
  ~Algorithm() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
 public:
  Key() = default;
  ~Key() {
    if (handle_) BCryptDestroyKey(handle_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  BCRYPT_KEY_HANDLE* out() { return &handle_; }
  BCRYPT_KEY_HANDLE get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

// Whether `der` is one DER object and nothing after it: the decoder stops at the end of
// the first object and would let trailing bytes pass.
bool IsOneDerObject(std::string_view der) {
  if (der.size() < 2) return false;
  const auto first = static_cast<unsigned char>(der[1]);
  std::size_t header = 2;
  std::size_t length = first;
  if (first & 0x80) {
    const std::size_t lengthBytes = first & 0x7F;
    if (lengthBytes == 0 || lengthBytes > 2 || der.size() < 2 + lengthBytes) return false;
    length = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) length = length << 8 | static_cast<unsigned char>(der[2 + i]);
    header += lengthBytes;
  }
  return header + length == der.size();
}

// The key's BCRYPT_ECCPUBLIC_BLOB when `der` is exactly one SubjectPublicKeyInfo of a
// P-256 key; empty otherwise.
std::vector<unsigned char> P256PublicBlob(std::string_view der) {
  if (!IsOneDerObject(der)) return {};
  CERT_PUBLIC_KEY_INFO* decoded = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, reinterpret_cast<const BYTE*>(der.data()),
                           static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size)) {
    return {};
  }
  const std::unique_ptr<CERT_PUBLIC_KEY_INFO, LocalFreer> info(decoded);
  const CRYPT_ALGORITHM_IDENTIFIER& algorithm = info->Algorithm;
  const CRYPT_BIT_BLOB& point = info->PublicKey;
  const bool p256 = algorithm.pszObjId && std::strcmp(algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0 &&
                    algorithm.Parameters.cbData == sizeof kP256Parameters &&
                    std::memcmp(algorithm.Parameters.pbData, kP256Parameters, sizeof kP256Parameters) == 0 &&
                    point.cUnusedBits == 0 && point.cbData == 1 + 2 * kCoordinateSize &&
                    point.pbData[0] == kUncompressedPoint;
  if (!p256) return {};
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateSize};
  std::vector<unsigned char> blob(sizeof header + 2 * kCoordinateSize);
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point.pbData + 1, 2 * kCoordinateSize);
  return blob;
}

}  // namespace

bool VerifyEcdsaP256Sha256(std::string_view publicKeyDer, std::string_view message, std::string_view signature) {
  if (signature.size() != 2 * kCoordinateSize || message.size() > MAXDWORD) return false;
  std::vector<unsigned char> blob = P256PublicBlob(publicKeyDer);
  Sha256 hash;
  unsigned char digest[Sha256::kDigestSize];
  if (blob.empty() || !hash.Update(message.data(), message.size()) || !hash.Finish(digest)) return false;
  const Algorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  if (!algorithm.get() || !Succeeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(),
                                                         blob.data(), static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }
  // CNG takes the signature as it arrives: r then s, each as wide as the curve.
  std::vector<unsigned char> raw(signature.begin(), signature.end());
  return Succeeded(BCryptVerifySignature(key.get(), nullptr, digest, static_cast<ULONG>(Sha256::kDigestSize),
                                         raw.data(), static_cast<ULONG>(raw.size()), 0));
}

}  // namespace platform
