#pragma once
#include <string>

namespace platform {

// The user's roaming application-data folder: on Windows its short form from the
// shell; on POSIX $XDG_DATA_HOME, else ~/.local/share. Empty when it cannot be found
// or does not fit kMaxPath.
std::wstring GetAppDataFolder();

}  // namespace platform
