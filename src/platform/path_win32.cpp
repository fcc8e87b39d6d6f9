#include <windows.h>

#include "platform/path.h"

namespace platform {
namespace {

// `wide` in the ANSI code page, or empty when a character has no spelling there: a '?'
// or a best-fit look-alike would name another path.
std::string ToAnsiExactly(const wchar_t* wide, int length) {
  // The UTF-8 code page spells everything but a broken surrogate, and takes neither a
  // best-fit flag nor a used-default result.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int size = WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, usedDefaultOut);
  if (size <= 0 || usedDefault) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_ACP, flags, wide, length, text.data(), size, nullptr, nullptr) != size) return {};
  return text;
}

}  // namespace

const char* PathSeparator() { return "\\"; }

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::string GetExecutablePath() {
  wchar_t buffer[kMaxPath];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(kMaxPath));
  // A full buffer means the path was cut: refuse it rather than use another path.
  if (n == 0 || n >= kMaxPath) return {};
  const std::string path = ToAnsiExactly(buffer, static_cast<int>(n));
  // A double-byte code page can make the narrow form the longer one.
  return FitsMaxPath(path) ? path : std::string();
}

bool SetCurrentDir(const std::string& path) {
  return !path.empty() && FitsMaxPath(path) && SetCurrentDirectoryA(path.c_str()) != 0;
}

std::string GetCurrentDir() {
  char buffer[kMaxPath];
  const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(kMaxPath), buffer);
  if (n == 0 || n >= kMaxPath) return {};
  return std::string(buffer, n);
}

}  // namespace platform
