#include "platform/os.h"

namespace platform {

// The version check guards against Windows releases before 7; every Linux the port
// builds on can run the game, so it always passes here.
bool IsOsSupported() { return true; }

const char* OsName() { return "Linux"; }

}  // namespace platform
