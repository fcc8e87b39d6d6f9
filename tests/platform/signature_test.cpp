#include "platform/signature.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "signing_material.h"
#include "update/base64.h"

namespace {

using signing_testing::FromHex;
using signing_testing::MaterialText;

std::string Key(const char* name) {
  std::string der;
  EXPECT_TRUE(DecodeBase64(MaterialText(name), &der)) << name;
  return der;
}

std::string Message() { return FromHex(MaterialText("Message")); }
std::string Signature() { return FromHex(MaterialText("Signature")); }

std::string FlipBit(std::string bytes, std::size_t index) {
  bytes[index] = static_cast<char>(bytes[index] ^ 0x01);
  return bytes;
}

struct VerifyCase {
  const char* name;
  std::string (*key)();
  std::string (*message)();
  std::string (*signature)();
  bool valid;
};

void PrintTo(const VerifyCase& c, std::ostream* out) { *out << c.name; }

class VerifyTest : public testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyTest, AcceptsOnlyTheKeysOwnSignatureOfTheMessage) {
  const VerifyCase& c = GetParam();
  EXPECT_EQ(platform::VerifyEcdsaP256Sha256(c.key(), c.message(), c.signature()), c.valid);
}

// Keys, messages and signatures come from make_signing_keys.py (Python's cryptography
// package), so a verifier that agrees with them agrees with another implementation.
INSTANTIATE_TEST_SUITE_P(
    Vectors, VerifyTest,
    testing::Values(
        VerifyCase{"Valid", [] { return Key("Key"); }, Message, Signature, true},
        VerifyCase{"EmptyMessage", [] { return Key("Key"); }, [] { return std::string(); },
                   [] { return FromHex(MaterialText("EmptySignature")); }, true},
        VerifyCase{"MessageOneBitOff", [] { return Key("Key"); }, [] { return FlipBit(Message(), 10); }, Signature,
                   false},
        VerifyCase{"MessageLonger", [] { return Key("Key"); }, [] { return Message() + "\n"; }, Signature, false},
        VerifyCase{"ROneBitOff", [] { return Key("Key"); }, Message, [] { return FlipBit(Signature(), 31); }, false},
        VerifyCase{"SOneBitOff", [] { return Key("Key"); }, Message, [] { return FlipBit(Signature(), 63); }, false},
        VerifyCase{"RAndSSwapped", [] { return Key("Key"); }, Message,
                   [] { return Signature().substr(32) + Signature().substr(0, 32); }, false},
        VerifyCase{"SignatureTruncated", [] { return Key("Key"); }, Message,
                   [] { return Signature().substr(0, 63); }, false},
        VerifyCase{"SignatureWithAByteMore", [] { return Key("Key"); }, Message,
                   [] { return Signature() + std::string(1, '\0'); }, false},
        VerifyCase{"SignatureOfZeros", [] { return Key("Key"); }, Message, [] { return std::string(64, '\0'); },
                   false},
        VerifyCase{"NoSignature", [] { return Key("Key"); }, Message, [] { return std::string(); }, false},
        VerifyCase{"AnotherKey", [] { return Key("OtherKey"); }, Message, Signature, false},
        // A valid signature on its own curve: only the curve check refuses it.
        VerifyCase{"Secp256k1KeyAndItsSignature", [] { return Key("K256Key"); }, Message,
                   [] { return FromHex(MaterialText("K256Signature")); }, false},
        VerifyCase{"P384Key", [] { return Key("P384Key"); }, Message, Signature, false},
        VerifyCase{"SameKeyWithItsPointCompressed", [] { return Key("CompressedKey"); }, Message, Signature, false},
        VerifyCase{"KeyWithATrailingByte", [] { return Key("Key") + std::string(1, '\0'); }, Message, Signature,
                   false},
        VerifyCase{"KeyCutShort", [] { return Key("Key").substr(0, 90); }, Message, Signature, false},
        VerifyCase{"KeyNotDer", [] { return std::string("not a key"); }, Message, Signature, false},
        VerifyCase{"NoKey", [] { return std::string(); }, Message, Signature, false}),
    [](const testing::TestParamInfo<VerifyCase>& info) { return info.param.name; });

}  // namespace
