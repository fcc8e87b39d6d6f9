#include "update/release_signature.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "signing_material.h"
#include "update/base64.h"

namespace {

using signing_testing::MaterialText;
using signing_testing::SigningMaterial;

Json::Value Answer(const char* name) { return SigningMaterial()[name]; }

// A time before the material's expiry (2030-06-15T12:00:00Z, 1907755200).
constexpr std::int64_t kNow = 1767225600;
constexpr std::int64_t kExpiry = 1907755200;

TEST(SignedReleaseMessage, FieldsInOrderEachOnItsOwnLine) {
  Json::Value answer;
  answer["Signature"] = "ignored";
  answer["ReportOperationUrl"] = "https://example.com/report";
  answer["PackageSha256"] = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
  answer["PackageSize"] = 1048576;
  answer["PackageUrl"] = "https://example.com/client_2.0.zip";
  answer["Version"] = "2.0 \xC3\xA9";
  EXPECT_EQ(SignedReleaseMessage(answer),
            "2.0 \xC3\xA9\nhttps://example.com/client_2.0.zip\n1048576\n"
            "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n\n"
            "https://example.com/report\n\n\n");
  answer["FileListSha256"] = "FFEEDDCCBBAA99887766554433221100FFEEDDCCBBAA99887766554433221100";
  answer["Serial"] = 12;
  answer["Expires"] = "2030-06-15T12:00:00Z";
  EXPECT_EQ(SignedReleaseMessage(answer),
            "2.0 \xC3\xA9\nhttps://example.com/client_2.0.zip\n1048576\n"
            "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n"
            "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100\n"
            "https://example.com/report\n12\n2030-06-15T12:00:00Z\n");
  answer.removeMember("ReportOperationUrl");
  EXPECT_EQ(SignedReleaseMessage(answer),
            "2.0 \xC3\xA9\nhttps://example.com/client_2.0.zip\n1048576\n"
            "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n"
            "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100\n"
            "\n12\n2030-06-15T12:00:00Z\n");
}

// A serial is a positive integer: anything else makes the answer unsignable.
TEST(SignedReleaseMessage, RefusesASerialOfAnotherForm) {
  Json::Value answer = Answer("Answer");
  for (const Json::Value& serial : {Json::Value(0), Json::Value(-3), Json::Value("7"), Json::Value(1.5)}) {
    answer["Serial"] = serial;
    EXPECT_EQ(SignedReleaseMessage(answer), "") << serial.toStyledString();
  }
  answer["Serial"] = 7;
  EXPECT_NE(SignedReleaseMessage(answer), "");
  EXPECT_EQ(ReleaseSerialOf(answer), 7);
}

// A change to the signed answer, and the key the launcher holds.
struct AnswerCase {
  const char* name;
  const char* answer;  // an answer of the signing material
  std::function<void(Json::Value&)> change;
  const char* key;  // a key of the signing material; nullptr: ReleasePublicKey is empty
  bool accepted;
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

void Keep(Json::Value&) {}

std::function<void(Json::Value&)> Set(const char* field, Json::Value value) {
  return [field, value](Json::Value& answer) { answer[field] = value; };
}

std::function<void(Json::Value&)> Remove(const char* field) {
  return [field](Json::Value& answer) { answer.removeMember(field); };
}

// Changes the middle character of a text field (hexadecimal or base64) to another digit.
std::function<void(Json::Value&)> Alter(const char* field) {
  return [field](Json::Value& answer) {
    std::string text = answer[field].asString();
    char& c = text[text.size() / 2];
    c = c == '0' ? '1' : '0';
    answer[field] = text;
  };
}

std::function<void(Json::Value&)> SignatureOf(const char* other) {
  return [other](Json::Value& answer) { answer["Signature"] = Answer(other)["Signature"]; };
}

class AnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, AcceptsOnlyWhatTheKeySigned) {
  const AnswerCase& c = GetParam();
  Json::Value answer = Answer(c.answer);
  ASSERT_TRUE(answer.isObject());
  c.change(answer);
  EXPECT_EQ(IsAcceptableVersionAnswer(c.key ? MaterialText(c.key) : "", answer, ReleaseHistory{0, kNow}), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    testing::Values(
        AnswerCase{"Valid", "Answer", Keep, "Key", true},
        AnswerCase{"ValidWithFileList", "FileListAnswer", Keep, "Key", true},
        // The hashes are signed in lower case whatever case the answer writes them in.
        AnswerCase{"ValidWithItsHashInUpperCase", "Answer",
                   [](Json::Value& a) {
                     std::string hash = a["PackageSha256"].asString();
                     for (char& c : hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                     a["PackageSha256"] = hash;
                   },
                   "Key", true},
        AnswerCase{"OtherFieldsAreNotSigned", "Answer", Set("Comment", "anything"), "Key", true},
        // Reports carry the player's name: their address is the studio's to choose.
        AnswerCase{"ReportUrlSwapped", "Answer", Set("ReportOperationUrl", "https://elsewhere.example/r"), "Key",
                   false},
        AnswerCase{"ReportUrlRemoved", "Answer", Remove("ReportOperationUrl"), "Key", false},
        AnswerCase{"SerialAdded", "Answer", Set("Serial", 9), "Key", false},
        AnswerCase{"SerialRaised", "SerialAnswer", Set("Serial", 6), "Key", false},
        AnswerCase{"SerialRemoved", "SerialAnswer", Remove("Serial"), "Key", false},
        AnswerCase{"ExpiryPostponed", "ExpiringAnswer", Set("Expires", "2031-06-15T12:00:00Z"), "Key", false},
        AnswerCase{"ExpiryRemoved", "ExpiringAnswer", Remove("Expires"), "Key", false},
        AnswerCase{"VersionTampered", "Answer", Set("Version", "2.1"), "Key", false},
        AnswerCase{"PackageUrlSwapped", "Answer", Set("PackageUrl", "https://example.com/client_1.9.zip"), "Key",
                   false},
        AnswerCase{"PackageSizeTampered", "Answer", Set("PackageSize", 123457), "Key", false},
        AnswerCase{"PackageSha256Tampered", "Answer", Alter("PackageSha256"), "Key", false},
        AnswerCase{"FileListSha256Tampered", "FileListAnswer", Alter("FileListSha256"), "Key", false},
        AnswerCase{"FileListSha256Added", "Answer", Set("FileListSha256", std::string(64, 'a')), "Key", false},
        AnswerCase{"FileListSha256Removed", "FileListAnswer", Remove("FileListSha256"), "Key", false},
        AnswerCase{"SignatureTampered", "Answer", Alter("Signature"), "Key", false},
        // 63 of the 64 bytes: the text without its last four characters.
        AnswerCase{"SignatureTruncated", "Answer",
                   [](Json::Value& a) {
                     const std::string signature = a["Signature"].asString();
                     a["Signature"] = signature.substr(0, signature.size() - 4);
                   },
                   "Key", false},
        AnswerCase{"SignatureOfAnotherVersion", "Answer", SignatureOf("OtherVersionAnswer"), "Key", false},
        AnswerCase{"SignatureMissing", "Answer", Remove("Signature"), "Key", false},
        AnswerCase{"SignatureNotAText", "Answer", Set("Signature", 1), "Key", false},
        AnswerCase{"PackageSizeMissing", "Answer", Remove("PackageSize"), "Key", false},
        AnswerCase{"PackageSizeAsText", "Answer", Set("PackageSize", "123456"), "Key", false},
        AnswerCase{"PackageSha256Missing", "Answer", Remove("PackageSha256"), "Key", false},
        AnswerCase{"SignedWithAnotherKey", "OtherKeyAnswer", Keep, "Key", false},
        AnswerCase{"LauncherHoldsAnotherKey", "Answer", Keep, "OtherKey", false},
        AnswerCase{"LauncherHoldsAKeyOnAnotherCurve", "Answer", Keep, "P384Key", false},
        // Signed as it is, but a line feed would let the fields be read another way.
        AnswerCase{"LineFeedInASignedText", "LineFeedAnswer", Keep, "Key", false},
        AnswerCase{"NoKeyAcceptsAnUnsignedAnswer", "Answer", Remove("Signature"), nullptr, true},
        AnswerCase{"NoKeyAcceptsABadSignature", "Answer", Alter("Signature"), nullptr, true}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

// A genuinely signed answer, judged against what the launcher has seen and the time.
struct HistoryCase {
  const char* name;
  const char* answer;  // an answer of the signing material, signed with Key
  bool keyed;          // false: ReleasePublicKey is empty
  std::int64_t highestSerial;
  std::int64_t now;
  bool accepted;
};

void PrintTo(const HistoryCase& c, std::ostream* out) { *out << c.name; }

class HistoryTest : public testing::TestWithParam<HistoryCase> {};

TEST_P(HistoryTest, RefusesReplaysAndExpiredAnswers) {
  const HistoryCase& c = GetParam();
  const Json::Value answer = Answer(c.answer);
  ASSERT_TRUE(answer.isObject());
  EXPECT_EQ(IsAcceptableVersionAnswer(c.keyed ? MaterialText("Key") : "", answer, ReleaseHistory{c.highestSerial, c.now}),
            c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HistoryTest,
    testing::Values(HistoryCase{"FirstSerial", "SerialAnswer", true, 0, kNow, true},
                    HistoryCase{"HigherSerial", "SerialAnswer", true, 4, kNow, true},
                    HistoryCase{"SameSerialServedAgain", "SerialAnswer", true, 5, kNow, true},
                    HistoryCase{"LowerSerial", "SerialAnswer", true, 6, kNow, false},
                    HistoryCase{"NoSerialBeforeAnyWasSeen", "Answer", true, 0, kNow, true},
                    HistoryCase{"NoSerialOnceOneWasSeen", "Answer", true, 1, kNow, false},
                    HistoryCase{"NegativeSerial", "NegativeSerialAnswer", true, 0, kNow, false},
                    HistoryCase{"BeforeExpiry", "ExpiringAnswer", true, 5, kNow, true},
                    HistoryCase{"AtExpiry", "ExpiringAnswer", true, 5, kExpiry, true},
                    HistoryCase{"PastExpiry", "ExpiringAnswer", true, 5, kExpiry + 1, false},
                    HistoryCase{"ExpiredAndLower", "ExpiringAnswer", true, 6, kExpiry + 1, false},
                    HistoryCase{"MalformedExpiry", "MalformedExpiryAnswer", true, 0, kNow, false},
                    // Unsigned setups judge nothing of it.
                    HistoryCase{"NoKeyLowerSerial", "SerialAnswer", false, 6, kNow, true},
                    HistoryCase{"NoKeyPastExpiry", "ExpiringAnswer", false, 0, kExpiry + 1, true},
                    HistoryCase{"NoKeyMalformedExpiry", "MalformedExpiryAnswer", false, 0, kNow, true}),
    [](const testing::TestParamInfo<HistoryCase>& info) { return info.param.name; });

struct TimeCase {
  const char* text;
  std::int64_t seconds;  // -1: refused
};

void PrintTo(const TimeCase& c, std::ostream* out) { *out << c.text; }

class UtcTimeTest : public testing::TestWithParam<TimeCase> {};

TEST_P(UtcTimeTest, ReadsOnlyTheUtcForm) {
  const TimeCase& c = GetParam();
  std::int64_t seconds = -1;
  EXPECT_EQ(ParseUtcTime(c.text, &seconds), c.seconds >= 0);
  if (c.seconds >= 0) {
    EXPECT_EQ(seconds, c.seconds);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UtcTimeTest,
    testing::Values(TimeCase{"1970-01-01T00:00:00Z", 0}, TimeCase{"2000-02-29T23:59:59Z", 951868799},
                    TimeCase{"2030-06-15T12:00:00Z", kExpiry}, TimeCase{"2099-12-31T23:59:59Z", 4102444799},
                    TimeCase{"2001-02-29T00:00:00Z", -1}, TimeCase{"1900-02-29T00:00:00Z", -1},
                    TimeCase{"2030-13-01T00:00:00Z", -1}, TimeCase{"2030-00-10T00:00:00Z", -1},
                    TimeCase{"2030-04-31T00:00:00Z", -1}, TimeCase{"2030-06-15T24:00:00Z", -1},
                    TimeCase{"2030-06-15T12:60:00Z", -1}, TimeCase{"2030-06-15T12:00:60Z", -1},
                    TimeCase{"2030-06-15T12:00:00", -1}, TimeCase{"2030-06-15t12:00:00z", -1},
                    TimeCase{"2030-06-15 12:00:00Z", -1}, TimeCase{"2030-6-15T12:00:00Z", -1},
                    TimeCase{"2030-06-15T12:00:00+00:00", -1}, TimeCase{"+030-06-15T12:00:00Z", -1},
                    TimeCase{"", -1}));

TEST(ReleaseKey, AKeyThatCannotBeReadAcceptsNothing) {
  const Json::Value answer = Answer("Answer");
  const ReleaseHistory history{0, kNow};
  ASSERT_TRUE(IsAcceptableVersionAnswer(MaterialText("Key"), answer, history));
  EXPECT_FALSE(IsAcceptableVersionAnswer("not base64!", answer, history));
  EXPECT_FALSE(IsAcceptableVersionAnswer(MaterialText("Key") + "\n", answer, history));
  EXPECT_FALSE(IsAcceptableVersionAnswer("AAAA", answer, history));
}

struct Base64Case {
  const char* name;
  const char* text;
  const char* bytes;  // nullptr: refused
};

void PrintTo(const Base64Case& c, std::ostream* out) { *out << c.name; }

class Base64Test : public testing::TestWithParam<Base64Case> {};

TEST_P(Base64Test, DecodesOnlyCanonicalText) {
  const Base64Case& c = GetParam();
  std::string bytes = "left alone when refused";
  EXPECT_EQ(DecodeBase64(c.text, &bytes), c.bytes != nullptr);
  EXPECT_EQ(bytes, c.bytes ? c.bytes : "left alone when refused");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64Test,
    testing::Values(Base64Case{"Empty", "", ""}, Base64Case{"OneByte", "Zg==", "f"},
                    Base64Case{"TwoBytes", "Zm8=", "fo"}, Base64Case{"ThreeBytes", "Zm9v", "foo"},
                    Base64Case{"AlphabetEnds", "AZaz09+/", "\x01\x96\xb3\xd3\xdf\xbf"},
                    Base64Case{"HighBits", "/+8=", "\xFF\xEF"}, Base64Case{"MissingPadding", "Zg", nullptr},
                    Base64Case{"ShortPadding", "Zg=", nullptr}, Base64Case{"ThreePaddings", "Z===", nullptr},
                    Base64Case{"PaddingInside", "Zg==Zm8=", nullptr}, Base64Case{"BitsPastTheEnd", "Zh==", nullptr},
                    Base64Case{"UrlAlphabet", "-_8=", nullptr}, Base64Case{"LineFeed", "Zm9v\n", nullptr},
                    Base64Case{"Space", "Zm 9", nullptr}),
    [](const testing::TestParamInfo<Base64Case>& info) { return info.param.name; });

}  // namespace
