#pragma once
// Symbolic links for the link entries of Unix-made archives (data: the link target).
#include <string>

struct ArchiveLinkOps {
  // Creates `path` as a symbolic link holding `target` as it stands; false when
  // anything exists at `path` already or the link cannot be made.
  bool (*create)(const std::wstring& path, const std::wstring& target);
  // Whether `path` itself is a symbolic link (not followed); false when it is missing.
  bool (*isLink)(const std::wstring& path);
};

// This system's link operations. Null on Windows, where creating a link needs a
// privilege players do not have: a link entry is unpacked there as a regular file
// holding its target text.
const ArchiveLinkOps* ArchiveLinks();
