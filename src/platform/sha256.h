#pragma once
// SHA-256 computed as the bytes arrive, from the system: CNG (bcrypt.dll) on Windows,
// OpenSSL's libcrypto on Linux. No second pass over a file is ever needed.
#include <cstddef>
#include <memory>
#include <string>

namespace platform {

class Sha256 {
 public:
  static constexpr std::size_t kDigestSize = 32;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Starts over, as if nothing had been added. False when the system offers no hash.
  bool Reset();
  // Adds bytes; false when the computation failed (it stays failed until Reset).
  bool Update(const void* data, std::size_t size);
  // The digest of everything added since the last Reset; false when the computation
  // failed. The hash starts over afterwards.
  bool Finish(unsigned char (&digest)[kDigestSize]);
  // The same as 64 lower-case hexadecimal characters; empty when the computation failed.
  std::string FinishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
