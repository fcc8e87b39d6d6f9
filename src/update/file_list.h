#pragma once
// The file list a signed release carries as its package's last entry: each file
// entry's SHA-256 by name, one "<64 lower-case hex digits>  <name>" line each. The
// signed version answer holds the list's own SHA-256 (FileListSha256), so every file
// fetched on its own, without the whole package's hash, can be checked against it.
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

inline constexpr char kFileListName[] = ".release/files.sha256";

// Whether `text` is a SHA-256 in lower-case hex.
bool IsSha256Hex(const std::string& text);
// `text` in lower case when it is a SHA-256 in hex of either case; "" otherwise.
std::string Sha256HexOf(const std::string& text);

// False when a line is not of that form, a name is not one the client folder can hold
// (IsSafeRecordName) or a name comes twice.
bool ParseFileList(const std::string& text, std::map<std::string, std::string>* hashes);

// Reads the list from `path` when the file's SHA-256 is `listHash` (the signed one);
// false when it is not, or cannot be read or parsed.
bool LoadFileList(const std::string& path, const std::string& listHash, std::map<std::string, std::string>* hashes);

// The SHA-256 of a file in lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::string& path);

// Whether every one of `names` below `folder` has the SHA-256 that `hashes` lists for
// it; a name the list lacks fails. `progress` hears the fraction done; `cancel` stops.
bool FilesMatchList(const std::string& folder, const std::vector<std::string>& names,
                    const std::map<std::string, std::string>& hashes, const std::atomic<bool>& cancel,
                    const std::function<void(double)>& progress);
