#pragma once
#include <string>

namespace platform {

// The user's roaming application-data folder: on Windows its short form from the
// shell; on POSIX $XDG_DATA_HOME, else ~/.local/share, made (private to the user)
// when a new account has none yet, as the Windows folder always exists. Empty when it
// cannot be found or does not fit kMaxPath.
std::wstring GetAppDataFolder();

}  // namespace platform
