#include <windows.h>
// bcrypt.h needs the types of windows.h first.
#include <bcrypt.h>

#include <limits>

#include "platform/sha256.h"

namespace platform {
namespace {

constexpr ULONG kLargestPiece = std::numeric_limits<ULONG>::max();

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

// The algorithm provider belongs to the object: one is opened per download, which costs
// nothing next to the transfer, and no process-wide handle has to outlive static
// destruction. A hash object cannot be finished twice before Windows 8, so Reset makes a
// fresh one.
struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;

  State() {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) algorithm = nullptr;
  }
  ~State() {
    DropHash();
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void DropHash() {
    if (hash) BCryptDestroyHash(hash);
    hash = nullptr;
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { Reset(); }

Sha256::~Sha256() = default;

bool Sha256::Reset() {
  State& s = *state_;
  s.DropHash();
  // Without a buffer of ours CNG keeps the hash object's memory itself (Windows 7 on).
  s.ok = s.algorithm && Succeeded(BCryptCreateHash(s.algorithm, &s.hash, nullptr, 0, nullptr, 0, 0));
  if (!s.ok) s.hash = nullptr;
  return s.ok;
}

bool Sha256::Update(const void* data, std::size_t size) {
  State& s = *state_;
  // BCryptHashData takes at most 4 GiB at a time.
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (s.ok && size > 0) {
    const ULONG piece = size > kLargestPiece ? kLargestPiece : static_cast<ULONG>(size);
    s.ok = Succeeded(BCryptHashData(s.hash, const_cast<PUCHAR>(bytes), piece, 0));
    bytes += piece;
    size -= piece;
  }
  return s.ok;
}

bool Sha256::Finish(unsigned char (&digest)[kDigestSize]) {
  const bool done = state_->ok && Succeeded(BCryptFinishHash(state_->hash, digest, static_cast<ULONG>(kDigestSize), 0));
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
