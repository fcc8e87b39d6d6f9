#pragma once
#include <string>

namespace testing_support {

// Sets an environment variable of the test process (an empty value removes it).
void SetEnvironment(const std::string& name, const std::string& value);

// Whether this Windows build runs under Wine, whose Schannel accepts every certificate
// (libcurl's own checks, taken when a CA file is named, still work there).
bool RunningUnderWine();

}  // namespace testing_support
