#pragma once
// The installed-files record, "ClientFiles.json" in the game root: the installed
// version, the client folder it describes and, for each file, its name (as in the
// package: sanitised and '/'-separated), size, CRC-32 and, when a release's file list
// vouched for it, SHA-256. An incremental update compares it with the new package's
// directory to fetch only what changed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

inline constexpr char kClientFilesName[] = "ClientFiles.json";

struct ClientFile {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::string sha256;  // lower-case hex; empty when no file list vouched for the file
  bool operator==(const ClientFile&) const = default;
};

struct ClientFiles {
  std::string version;
  std::string baseDir;
  std::map<std::string, ClientFile> files;  // by name
  // Made by scanning the client folder, not from a package: it may list the player's
  // own files too.
  bool scanned = false;
  bool operator==(const ClientFiles&) const = default;
};

namespace Json {
class Value;
}

// The record as a JSON object, and back (false when the value is not of that shape).
Json::Value ClientFilesToJson(const ClientFiles& record);
bool ClientFilesFromJson(const Json::Value& document, ClientFiles* record);
// False when the file is missing or not a record of this shape.
bool LoadClientFiles(const std::string& path, ClientFiles* record);
// Replaces the file as a whole; false on failure (the old record then stays).
bool SaveClientFiles(const std::string& path, const ClientFiles& record);

// A record name as a path below `folder`, with the system's separator.
std::string ClientFilePath(const std::string& folder, const std::string& name);

// Size and CRC-32 of every regular file below `folder` (links are not followed and
// not recorded). `progress` hears the fraction of files done; a true `cancel` stops the
// scan, which then fails. False when the folder or a file cannot be read.
bool ScanClientFolder(const std::string& folder, ClientFiles* record, const std::atomic<bool>& cancel,
                      const std::function<void(double)>& progress);
