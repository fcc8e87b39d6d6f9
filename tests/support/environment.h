#pragma once
#include <string>

namespace testing_support {

// Sets an environment variable of the test process (an empty value removes it).
void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace testing_support
