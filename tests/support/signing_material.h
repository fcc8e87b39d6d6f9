#pragma once
// The test side of make_signing_keys.py: CTest runs it once per run (fixture
// "signing_keys") and names its file in LAUNCHER_TEST_SIGNING.
#include <json/json.h>

#include <string>

namespace signing_testing {

// The file's contents; a failed test and null when it cannot be read.
const Json::Value& SigningMaterial();
// A text of the file; "" (and a failed test) when it is missing.
std::string MaterialText(const char* key);
// Bytes written as hexadecimal digits.
std::string FromHex(const std::string& hex);

}  // namespace signing_testing
