#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

namespace {

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct Vector {
  const char* name;
  std::string input;
  const char* digest;
};

// Feeds `input` in pieces of uneven sizes (empty updates between them), so block
// boundaries fall everywhere but on a multiple of the block size.
void AddInPieces(platform::Sha256& hash, const std::string& input) {
  static constexpr std::size_t kSizes[] = {1, 63, 64, 65, 4097, 0, 100003};
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < input.size(); ++i) {
    const std::size_t size = std::min(kSizes[i % std::size(kSizes)], input.size() - offset);
    ASSERT_TRUE(hash.Update(input.data() + offset, size));
    offset += size;
  }
}

class Sha256Vectors : public testing::TestWithParam<Vector> {};

TEST_P(Sha256Vectors, DigestOfInputFedInUnevenPieces) {
  platform::Sha256 hash;
  AddInPieces(hash, GetParam().input);
  EXPECT_EQ(hash.FinishHex(), GetParam().digest);
}

TEST_P(Sha256Vectors, DigestOfInputFedAtOnce) {
  platform::Sha256 hash;
  ASSERT_TRUE(hash.Update(GetParam().input.data(), GetParam().input.size()));
  EXPECT_EQ(hash.FinishHex(), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Standard, Sha256Vectors,
    testing::Values(Vector{"Empty", "", kEmptyDigest}, Vector{"Abc", "abc", kAbcDigest},
                    Vector{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                           "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
                    Vector{"MillionA", std::string(1000000, 'a'),
                           "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const testing::TestParamInfo<Vector>& info) { return info.param.name; });

TEST(Sha256, ResetDropsWhatWasAdded) {
  platform::Sha256 hash;
  ASSERT_TRUE(hash.Update("stale bytes of an earlier attempt", 33));
  ASSERT_TRUE(hash.Reset());
  ASSERT_TRUE(hash.Update("abc", 3));
  EXPECT_EQ(hash.FinishHex(), kAbcDigest);
}

TEST(Sha256, StartsOverAfterEachDigest) {
  platform::Sha256 hash;
  ASSERT_TRUE(hash.Update("abc", 3));
  EXPECT_EQ(hash.FinishHex(), kAbcDigest);
  ASSERT_TRUE(hash.Update("abc", 3));
  EXPECT_EQ(hash.FinishHex(), kAbcDigest);
  EXPECT_EQ(hash.FinishHex(), kEmptyDigest);
}

TEST(Sha256, ObjectsInUseTogetherKeepTheirOwnState) {
  platform::Sha256 first;
  platform::Sha256 second;
  ASSERT_TRUE(first.Update("a", 1));
  ASSERT_TRUE(second.Update("garbage", 7));
  ASSERT_TRUE(second.Reset());
  ASSERT_TRUE(first.Update("bc", 2));
  EXPECT_EQ(second.FinishHex(), kEmptyDigest);
  EXPECT_EQ(first.FinishHex(), kAbcDigest);
}

}  // namespace
