#pragma once
// Links to folders, made the way the system makes them.
#include <filesystem>
#include <vector>

namespace testing_support {

struct FolderLinkKind {
  const char* name;
  // Makes `link` (which must not exist) point at the existing folder `target`; false
  // when this system cannot make this kind.
  bool (*make)(const std::filesystem::path& link, const std::filesystem::path& target);
  // Removes `link` from outside, for a kind that the system's own calls cannot remove;
  // null when they can.
  void (*removeFromOutside)(const std::filesystem::path& link);
};

// Every kind of folder link the system has: a symbolic link on POSIX; a junction and a
// directory symbolic link on Windows, and under Wine a symbolic link of the system
// beneath it.
std::vector<FolderLinkKind> FolderLinkKinds();

}  // namespace testing_support
