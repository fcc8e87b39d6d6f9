#include <cstdlib>

#include "environment.h"

namespace testing_support {

void SetEnvironment(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

}  // namespace testing_support
