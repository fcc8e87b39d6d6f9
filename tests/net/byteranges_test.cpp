#include "net/byteranges.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

// Writes down what the reader found: "[first-last/total]" for a part, then its bytes.
class Transcript : public net::ByteRangesReader::Events {
 public:
  bool Part(std::int64_t first, std::int64_t last, std::int64_t total) override {
    text += "[" + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(total) + "]";
    return true;
  }
  bool Data(const char* data, std::size_t size) override {
    text.append(data, size);
    return true;
  }
  std::string text;
};

std::string Part(const std::string& range, const std::string& bytes) {
  return "\r\n--B\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes " + range + "\r\n\r\n" + bytes;
}

struct BodyCase {
  const char* name;
  std::string body;
  bool accepted;
  bool complete;
  std::string transcript;
};

void PrintTo(const BodyCase& c, std::ostream* out) { *out << c.name; }

class ByteRangesTest : public testing::TestWithParam<BodyCase> {};

// The same whether the body comes at once or a byte at a time.
TEST_P(ByteRangesTest, ReadsThePartsOfABody) {
  const BodyCase& c = GetParam();
  for (const std::size_t step : {c.body.size(), std::size_t{1}}) {
    net::ByteRangesReader reader("B");
    Transcript transcript;
    bool accepted = true;
    for (std::size_t at = 0; accepted && at < c.body.size(); at += step) {
      accepted = reader.Feed(std::string_view(c.body).substr(at, step), transcript);
    }
    EXPECT_EQ(accepted, c.accepted) << "step " << step;
    EXPECT_EQ(reader.complete(), c.complete) << "step " << step;
    if (c.accepted) {
      EXPECT_EQ(transcript.text, c.transcript) << "step " << step;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ByteRangesTest,
    testing::Values(
        BodyCase{"TwoParts", Part("2-4/100", "cde") + Part("10-10/100", "k") + "\r\n--B--\r\n", true, true,
                 "[2-4/100]cde[10-10/100]k"},
        // Part bytes that look like a delimiter are bytes: the length counts.
        BodyCase{"DelimiterInTheBytes", Part("0-6/9", "\r\n--B--") + "\r\n--B--", true, true, "[0-6/9]\r\n--B--"},
        BodyCase{"PreambleAndEpilogue", "ignored\r\n" + Part("0-0/1", "a") + "\r\n--B--\r\ntrailing", true, true,
                 "[0-0/1]a"},
        BodyCase{"Cut", Part("0-9/100", "abc"), true, false, "[0-9/100]abc"},
        BodyCase{"OtherBoundary", Part("0-0/1", "a").replace(4, 1, "C") + "\r\n--C--\r\n", true, false, ""},
        BodyCase{"NoContentRange", "\r\n--B\r\nContent-Type: text/plain\r\n\r\nabc\r\n--B--\r\n", false, false, ""},
        BodyCase{"RangePastItsTotal", Part("0-9/5", "abcdefghij") + "\r\n--B--\r\n", false, false, ""},
        BodyCase{"EndlessLine", "\r\n--B\r\n" + std::string(10000, 'x'), false, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The owner's refusal of a part ends the reading.
TEST(ByteRangesReader, ARefusedPartEndsTheReading) {
  class Refusing : public Transcript {
    bool Part(std::int64_t, std::int64_t, std::int64_t) override { return false; }
  } refusing;
  net::ByteRangesReader reader("B");
  EXPECT_FALSE(reader.Feed(Part("0-2/3", "abc") + "\r\n--B--\r\n", refusing));
  EXPECT_EQ(refusing.text, "");
}

}  // namespace
