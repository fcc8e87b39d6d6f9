#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/signature.h"

namespace platform {
namespace {

constexpr std::size_t kCoordinateSize = 32;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct SignatureFree {
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BufferFree {
  void operator()(unsigned char* buffer) const { OPENSSL_free(buffer); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

bool HasTextParameter(const EVP_PKEY* key, const char* name, const char* expected) {
  char value[64] = {};
  std::size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, name, value, sizeof value, &length) == 1 &&
         std::strcmp(value, expected) == 0;
}

// The key when `der` is exactly one SubjectPublicKeyInfo of a P-256 key. Its point must
// be uncompressed, as CNG takes it: a key works in both builds or in neither.
Key ReadP256Key(std::string_view der) {
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* end = start;
  Key key(d2i_PUBKEY(nullptr, &end, static_cast<long>(der.size())));
  if (!key || end != start + der.size() || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
      !HasTextParameter(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1) ||
      !HasTextParameter(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                        OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED)) {
    return nullptr;
  }
  return key;
}

// libcrypto takes the signature DER-encoded; r and s arrive as raw big-endian numbers.
std::string DerSignature(std::string_view raw) {
  std::unique_ptr<ECDSA_SIG, SignatureFree> signature(ECDSA_SIG_new());
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  BIGNUM* r = BN_bin2bn(bytes, kCoordinateSize, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + kCoordinateSize, kCoordinateSize, nullptr);
  if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return "";
  }
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(signature.get(), &der);
  std::unique_ptr<unsigned char, BufferFree> owned(der);
  return length > 0 ? std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length)) : "";
}

}  // namespace

bool VerifyEcdsaP256Sha256(std::string_view publicKeyDer, std::string_view message, std::string_view signature) {
  if (signature.size() != 2 * kCoordinateSize) return false;
  const Key key = ReadP256Key(publicKeyDer);
  const std::string der = DerSignature(signature);
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!key || der.empty() || !context ||
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace platform
