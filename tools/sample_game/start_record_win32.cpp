#include <windows.h>
#include <shellapi.h>

#include "start_record.h"

namespace {

std::string ToUtf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

std::string ToUtf8(const wchar_t* text) { return ToUtf8(text, lstrlenW(text)); }

std::wstring ToWide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

}  // namespace

// The C runtime's argv is ignored: the launcher's command line is what matters, read
// raw and split the way the shell splits it.
StartRecord ReadStartRecord(int, char**) {
  StartRecord record;
  const wchar_t* line = GetCommandLineW();
  record.commandLine = ToUtf8(line);
  int count = 0;
  if (wchar_t** args = CommandLineToArgvW(line, &count)) {
    for (int i = 0; i < count; ++i) record.argv.push_back(ToUtf8(args[i]));
    LocalFree(args);
  }
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, folder);
  if (length > 0 && length <= MAX_PATH) record.cwd = ToUtf8(folder, static_cast<int>(length));
  return record;
}

bool MoveOver(const std::string& source, const std::string& target) {
  return MoveFileExW(ToWide(source).c_str(), ToWide(target).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }
