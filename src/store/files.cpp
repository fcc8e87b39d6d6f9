// Whole files, paths and folders on disk, over the platform layer.
#include "store/files.h"

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

// Works on the system's own spelling of each name, so that a name the ANSI code page
// cannot spell is deleted too, instead of blocking every later install.
bool EmptyNativeFolder(const platform::NativePath& folder) {
  // A folder whose search pattern does not fit is refused, not taken for a missing one.
  if (!folder.Join(platform::NativePath::FromAnsi("*.*")).FitsMaxPath()) return false;
  platform::FolderSearch search;
  if (!search.Open(folder)) return true;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    if (entry.name.IsSelfOrParent()) continue;
    const platform::NativePath path = folder.Join(entry.name);
    if (entry.isLink) {
      // A link goes as the link itself: what it points to may be anything of the user's.
      if (!platform::RemoveLink(path)) return false;
    } else if (entry.isFolder) {
      if (!EmptyNativeFolder(path) || !platform::RemoveFolder(path)) return false;
    } else {
      // Installed files may carry the package's read-only attribute; they are ours to replace.
      platform::ClearReadOnly(path);
      if (!platform::RemoveFile(path)) return false;
    }
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* content) {
  platform::File file = platform::File::OpenRead(platform::AnsiToWide(path));
  if (!file.IsOpen()) return false;
  char buffer[64 * 1024];
  for (;;) {
    std::uint32_t n = 0;
    if (!file.Read(buffer, sizeof buffer, &n)) return false;
    if (n == 0) return true;
    content->append(buffer, n);
  }
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  platform::File file = platform::File::Create(platform::AnsiToWide(path), platform::kAttributeNormal, 0);
  return file.IsOpen() && file.Write(content.data(), static_cast<std::uint32_t>(content.size()));
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + platform::PathSeparator() + name;
}

bool EmptyFolder(const std::string& folder) { return EmptyNativeFolder(platform::NativePath::FromAnsi(folder)); }
