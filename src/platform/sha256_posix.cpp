#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "platform/sha256.h"

namespace platform {
namespace {

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, ContextFree> context{EVP_MD_CTX_new()};
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { Reset(); }

Sha256::~Sha256() = default;

bool Sha256::Reset() {
  State& s = *state_;
  s.ok = s.context && EVP_DigestInit_ex(s.context.get(), EVP_sha256(), nullptr) == 1;
  return s.ok;
}

bool Sha256::Update(const void* data, std::size_t size) {
  State& s = *state_;
  s.ok = s.ok && EVP_DigestUpdate(s.context.get(), data, size) == 1;
  return s.ok;
}

bool Sha256::Finish(unsigned char (&digest)[kDigestSize]) {
  unsigned char whole[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool done = state_->ok && EVP_DigestFinal_ex(state_->context.get(), whole, &length) == 1 &&
                    length == kDigestSize;
  if (done) std::memcpy(digest, whole, kDigestSize);
  Reset();
  return done;
}

std::string Sha256::FinishHex() {
  unsigned char digest[kDigestSize];
  std::string hex;
  if (Finish(digest)) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char byte : digest) {
      hex += kDigits[byte >> 4];
      hex += kDigits[byte & 0x0F];
    }
  }
  return hex;
}

}  // namespace platform
