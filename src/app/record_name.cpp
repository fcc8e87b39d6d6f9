#include "app/record_name.h"

#include <algorithm>

#include "platform/codepage.h"
#include "platform/path.h"
#include "zip/archive.h"

bool IsSafeRecordName(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.back() == '/' || name.find("//") != std::string::npos) return false;
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    return false;
  }
  const std::wstring wide = platform::NarrowToWide(name, platform::CodePage::Utf8);
  if (std::any_of(wide.begin(), wide.end(), [](wchar_t c) { return c != L'/' && platform::IsPathSeparator(c); })) {
    return false;
  }
  return ArchiveIsPlaceableName(wide);
}
