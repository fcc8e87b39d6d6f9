#pragma once
// Whole files, paths and folders on disk, for the launcher's own records and the client
// folder. Narrow paths are in the system's ANSI code page (UTF-8 on Linux).
#include <string>

// The whole file appended to `content`; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* content);
// Creates or truncates the file and writes `content`; false on failure.
bool WriteWholeFile(const std::string& path, const std::string& content);

// `folder`, the system's separator, then `name`.
std::string JoinPath(const std::string& folder, const std::string& name);

// Deletes everything inside `folder`, depth first, keeping the folder. A missing
// folder counts as empty. A link inside (a symbolic link or a junction) is removed as
// the link: nothing behind it is entered or deleted. Stops at the first entry that
// cannot be deleted.
bool EmptyFolder(const std::string& folder);
