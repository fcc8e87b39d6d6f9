#pragma once

namespace platform {

// Whether the operating system is recent enough for the game.
bool IsOsSupported();
// The name that reports give the operating system: "Windows" or "Linux".
const char* OsName();

}  // namespace platform
