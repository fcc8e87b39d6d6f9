#include <cstdlib>

#include "environment.h"

namespace testing_support {

void SetEnvironment(const std::string& name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

bool RunningUnderWine() { return false; }

}  // namespace testing_support
