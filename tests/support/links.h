#pragma once
// Links to folders and files, made the way the system makes them.
#include <filesystem>
#include <ostream>
#include <vector>

namespace testing_support {

struct LinkKind {
  const char* name;
  // Makes `link` (which must not exist) point at `target`; false when this system cannot
  // make this kind.
  bool (*make)(const std::filesystem::path& link, const std::filesystem::path& target);
  // Removes `link` from outside, for a kind that the system's own calls cannot remove;
  // null when they can.
  void (*removeFromOutside)(const std::filesystem::path& link);
};

inline void PrintTo(const LinkKind& kind, std::ostream* os) { *os << kind.name; }

// Every kind of link to an existing folder the system has: a symbolic link on POSIX; a
// junction and a directory symbolic link on Windows, and under Wine a symbolic link of
// the system beneath it.
std::vector<LinkKind> FolderLinkKinds();
// Every kind of link to a file, which may be missing: a symbolic link on POSIX, a file
// symbolic link on Windows. Wine shows a link of the system beneath it to a file as the
// plain file, so it has none.
std::vector<LinkKind> FileLinkKinds();

}  // namespace testing_support
