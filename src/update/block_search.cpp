#include "update/block_search.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/sha256.h"

namespace {

constexpr std::uint32_t kAdlerModulus = 65521;
// The old file is read this much at a time (plus one block kept from the last read).
constexpr std::size_t kReadSize = 4 * 1024 * 1024;
// A bit per hashed weak checksum, at least this many bits per block: most windows
// match no block, and a bit test in a table that stays in the cache is all they cost.
constexpr std::uint32_t kFilterBitsPerBlock = 64;
// A bit per value of the checksum's low half (its byte sum), tested first: the high half
// is only reduced for the windows whose low half some block has.
constexpr std::size_t kLowHalfWords = 65536 / 64;
constexpr unsigned kMinFilterShift = 16;
constexpr unsigned kMaxFilterShift = 26;

// The full-length blocks by weak checksum, behind a filter.
class BlockIndex {
 public:
  explicit BlockIndex(const BlockedFile& file) {
    while (shift_ < kMaxFilterShift && (std::uint64_t{1} << shift_) < file.blocks.size() * kFilterBitsPerBlock) {
      ++shift_;
    }
    filter_.assign((std::size_t{1} << shift_) / 64, 0);
    lowHalves_.assign(kLowHalfWords, 0);
    for (std::size_t i = 0; i < file.blocks.size(); ++i) {
      if (file.BlockLength(i) != file.blockSize) continue;
      const std::uint32_t weak = file.blocks[i].weak;
      const std::uint32_t slot = Slot(weak);
      filter_[slot / 64] |= std::uint64_t{1} << (slot % 64);
      lowHalves_[(weak & 0xFFFF) / 64] |= std::uint64_t{1} << (weak % 64);
      byWeak_.emplace(weak, i);
    }
  }
  std::uint32_t Slot(std::uint32_t weak) const { return (weak * 2654435761u) >> (32 - shift_); }
  const std::uint64_t* filter() const { return filter_.data(); }
  const std::uint64_t* lowHalves() const { return lowHalves_.data(); }
  auto Candidates(std::uint32_t weak) const { return byWeak_.equal_range(weak); }

 private:
  unsigned shift_ = kMinFilterShift;
  std::vector<std::uint64_t> filter_;
  std::vector<std::uint64_t> lowHalves_;
  std::unordered_multimap<std::uint32_t, std::size_t> byWeak_;
};

class Search {
 public:
  Search(const BlockedFile& file, platform::File* old, const std::atomic<bool>& cancel,
         std::vector<std::int64_t>* found)
      : file_(file),
        index_(file),
        old_(old),
        cancel_(cancel),
        found_(found),
        n_(file.blockSize),
        buffer_(kReadSize + 2 * static_cast<std::size_t>(file.blockSize)) {}

  bool Run();

 private:
  bool Refill();
  void Start();
  void Scan(std::size_t last);
  void StepOne();
  bool Confirm();
  bool ConfirmLast();

  const BlockedFile& file_;
  const BlockIndex index_;
  platform::File* const old_;
  const std::atomic<bool>& cancel_;
  std::vector<std::int64_t>* const found_;
  const std::size_t n_;
  std::vector<unsigned char> buffer_;
  platform::Sha256 strong_;
  std::uint64_t base_ = 0;  // the old file's offset of buffer_[0]
  std::size_t begin_ = 0;   // the window's start in buffer_
  std::size_t end_ = 0;     // bytes held in buffer_
  bool eof_ = false;
  std::uint32_t a_ = 0;
  std::uint32_t b_ = 0;
};

bool Search::Refill() {
  if (cancel_) return false;
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  base_ += begin_;
  end_ -= begin_;
  begin_ = 0;
  while (end_ < buffer_.size()) {
    std::uint32_t n = 0;
    if (!old_->Read(buffer_.data() + end_, static_cast<std::uint32_t>(buffer_.size() - end_), &n)) return false;
    if (n == 0) {
      eof_ = true;
      break;
    }
    end_ += n;
  }
  return true;
}

void Search::Start() {
  const uLong sum = adler32(1L, buffer_.data() + begin_, static_cast<uInt>(n_));
  a_ = static_cast<std::uint32_t>(sum & 0xFFFF);
  b_ = static_cast<std::uint32_t>(sum >> 16);
}

void Search::StepOne() {
  const unsigned char out = buffer_[begin_];
  const unsigned char in = buffer_[begin_ + n_];
  a_ = (a_ + kAdlerModulus - out + in) % kAdlerModulus;
  const auto outWeight = static_cast<std::uint32_t>((std::uint64_t{n_} * out) % kAdlerModulus);
  b_ = (b_ + 2 * kAdlerModulus - outWeight + a_ - 1) % kAdlerModulus;
  ++begin_;
}

// Rolls the window on until its weak checksum may be a block's, or it is the window
// starting at `last`. This loop is the search's cost. Both halves roll unreduced, so a
// byte costs two additions in a row; the low half is reduced for the test at every byte,
// the high half only where the low half is some block's.
void Search::Scan(std::size_t last) {
  const unsigned char* data = buffer_.data();
  const std::uint64_t* filter = index_.filter();
  const std::uint64_t* lowHalves = index_.lowHalves();
  const auto n = static_cast<std::int64_t>(n_);
  const BlockIndex& index = index_;
  constexpr std::uint32_t m = kAdlerModulus;
  // The unreduced low half moves with the window's byte sum, which stays within 255
  // times the longest block of where it began: lifted by this multiple of the modulus it
  // stays within 32 bits. The high half drifts down by at most that much a byte: lifted
  // by this one, it stays positive over any buffer (kReadSize and two blocks).
  constexpr std::uint32_t kLowLift = m << 15;
  constexpr std::int64_t kHighLift = std::int64_t{m} << 40;
  std::uint32_t a = a_ + kLowLift;
  std::int64_t b = static_cast<std::int64_t>(b_) + kHighLift;
  std::size_t at = begin_;
  for (;;) {
    const std::uint32_t low = a % m;
    if ((lowHalves[low / 64] >> (low % 64)) & 1) {
      const auto high = static_cast<std::uint32_t>(static_cast<std::uint64_t>(b) % m);
      const std::uint32_t slot = index.Slot(high << 16 | low);
      if ((filter[slot / 64] >> (slot % 64)) & 1) break;
    }
    if (at == last) break;
    const std::uint32_t out = data[at];
    a += data[at + n_] - out;
    b += std::int64_t{a} - 1 - n * out;
    ++at;
  }
  a_ = a % m;
  b_ = static_cast<std::uint32_t>(static_cast<std::uint64_t>(b) % m);
  begin_ = at;
}

// The window's strong hash against every block of its weak checksum.
bool Search::Confirm() {
  const std::uint32_t weak = b_ << 16 | a_;
  auto [first, last] = index_.Candidates(weak);
  if (first == last) return false;
  StrongHash hash;
  unsigned char digest[platform::Sha256::kDigestSize];
  if (!strong_.Reset() || !strong_.Update(buffer_.data() + begin_, n_) || !strong_.Finish(digest)) return false;
  std::copy(digest, digest + kStrongHashSize, hash.begin());
  bool matched = false;
  for (auto it = first; it != last; ++it) {
    if (file_.blocks[it->second].strong != hash) continue;
    std::int64_t& at = (*found_)[it->second];
    if (at == kBlockNotFound) at = static_cast<std::int64_t>(base_ + begin_);
    matched = true;
  }
  return matched;
}

bool Search::Run() {
  bool fresh = true;
  for (;;) {
    if (!eof_ && end_ - begin_ <= n_ && !Refill()) return false;
    if (end_ - begin_ < n_) return true;
    if (fresh) Start();
    fresh = false;
    const std::size_t last = end_ - n_;
    for (;;) {
      Scan(last);
      if (Confirm()) {
        // A matched block is skipped whole: the next window starts after it.
        begin_ += n_;
        fresh = true;
        break;
      }
      if (begin_ == last) break;
      // A weak checksum no block has: roll past it.
      StepOne();
    }
    if (!fresh && eof_) return true;
  }
}

// A last block shorter than the others has no window of its own: it is looked for where
// a file's tail usually is, at the end, and right after the block before it.
void FindShortLastBlock(const BlockedFile& file, platform::File* old, std::uint64_t oldSize,
                        std::vector<std::int64_t>* found) {
  const std::size_t last = file.blocks.size() - 1;
  const std::size_t length = file.BlockLength(last);
  if (length == file.blockSize || length > oldSize) return;
  std::vector<std::uint64_t> places{oldSize - length};
  if (last > 0 && (*found)[last - 1] != kBlockNotFound) places.push_back((*found)[last - 1] + file.blockSize);
  std::vector<unsigned char> bytes(length);
  for (const std::uint64_t place : places) {
    StrongHash hash;
    if (place + length > oldSize || !ReadBlockBytes(old, place, length, bytes.data()) ||
        !StrongHashOf(bytes.data(), length, &hash)) {
      continue;
    }
    const BlockInfo& block = file.blocks[last];
    if (adler32(1L, bytes.data(), static_cast<uInt>(length)) == block.weak && hash == block.strong) {
      (*found)[last] = static_cast<std::int64_t>(place);
      return;
    }
  }
}

}  // namespace

bool FindBlocks(const std::string& oldPath, const BlockedFile& file, const std::atomic<bool>& cancel,
                std::vector<std::int64_t>* found) {
  found->assign(file.blocks.size(), kBlockNotFound);
  platform::File old = platform::File::OpenRead(platform::AnsiToWide(oldPath));
  if (!old.IsOpen()) return false;
  if (file.blocks.empty()) return true;
  auto search = std::make_unique<Search>(file, &old, cancel, found);
  if (!search->Run()) return false;
  std::int64_t size = 0;
  if (!old.Seek(0, platform::SeekOrigin::End, &size)) return false;
  FindShortLastBlock(file, &old, static_cast<std::uint64_t>(size), found);
  return !cancel;
}
