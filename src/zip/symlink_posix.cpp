// Symbolic-link entries on POSIX: kept as links when they stay inside the target folder.
#include <sys/stat.h>
#include <unistd.h>

#include "platform/codepage.h"
#include "platform/path.h"
#include "zip/symlink.h"

namespace {

std::string ToPath(const std::wstring& path) { return platform::WideToNarrow(path, platform::CodePage::Utf8); }

bool CreateLink(const std::wstring& path, const std::wstring& target) {
  return platform::FitsMaxPath(path) && symlink(ToPath(target).c_str(), ToPath(path).c_str()) == 0;
}

bool IsLink(const std::wstring& path) {
  struct stat st {};
  return lstat(ToPath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

constexpr ArchiveLinkOps kLinks = {CreateLink, IsLink};

}  // namespace

const ArchiveLinkOps* ArchiveLinks() { return &kLinks; }
