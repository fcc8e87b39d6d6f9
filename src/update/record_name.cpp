#include "update/record_name.h"

#include <algorithm>
#include <string_view>

#include "platform/codepage.h"
#include "platform/path.h"
#include "zip/archive.h"

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// Empty, or only dots and spaces with a dot among them: "." and what Windows trims to
// "." or "..". The extractor's own check covers the rest of the parent steps.
bool IsEmptyOrSelfStep(std::string_view component) {
  return component.empty() || (component.find('.') != std::string_view::npos &&
                               component.find_first_not_of(". ") == std::string_view::npos);
}

}  // namespace

bool IsSafeRecordName(const std::string& name) {
  if (std::any_of(name.begin(), name.end(), IsControl)) return false;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    if (IsEmptyOrSelfStep(std::string_view(name).substr(start, end - start))) return false;
    if (end == name.size()) break;
    start = end + 1;
  }
  const std::wstring wide = platform::NarrowToWide(name, platform::CodePage::Utf8);
  // Bytes that are not UTF-8 would name another file once decoded.
  if (platform::WideToNarrow(wide, platform::CodePage::Utf8) != name) return false;
  if (std::any_of(wide.begin(), wide.end(), [](wchar_t c) { return c != L'/' && platform::IsPathSeparator(c); })) {
    return false;
  }
  return ArchiveIsPlaceableName(wide);
}
