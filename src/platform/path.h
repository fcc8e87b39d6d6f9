#pragma once
// Paths and the process's place in the file system.
//
// Paths are narrow text in the system's ANSI code page (UTF-8 on POSIX) unless a
// function takes a wide string. The launcher's fixed path buffers hold kMaxPath
// characters including the terminator; a path that does not fit is refused with a
// failure result, never truncated into another path.
#include <cstddef>
#include <string>

namespace platform {

inline constexpr std::size_t kMaxPath = 260;

// "\\" on Windows, "/" on POSIX: the separator every joined path uses.
const char* PathSeparator();
// True for every character the system accepts as a separator ('\\' and '/' on
// Windows, '/' on POSIX).
bool IsPathSeparator(wchar_t c);

// Whether a narrow or wide path fits the fixed buffers (shorter than kMaxPath).
inline bool FitsMaxPath(const std::string& path) { return path.size() < kMaxPath; }
inline bool FitsMaxPath(const std::wstring& path) { return path.size() < kMaxPath; }

// Full path of the running executable; empty on failure, when it does not fit, or
// when the ANSI code page cannot spell it. The launcher cannot work without it: its
// files are found through its folder.
std::string GetExecutablePath();
// Changes the process's current directory; false on failure.
bool SetCurrentDir(const std::string& path);
// The current directory; empty on failure.
std::string GetCurrentDir();

}  // namespace platform
