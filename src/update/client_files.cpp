#include "update/client_files.h"

#include <json/json.h>
#include <zlib.h>

#include <memory>
#include <vector>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/path.h"
#include "store/json_file.h"
#include "update/file_list.h"
#include "update/record_name.h"

namespace {

constexpr std::uint32_t kScanBuffer = 256 * 1024;

bool IsWholeNumber(const Json::Value& value) { return value.isIntegral() && value.isUInt64(); }

bool ReadFileEntry(const Json::Value& item, ClientFiles* record) {
  if (!item.isObject() || !item["Name"].isString() || !IsWholeNumber(item["Size"]) || !item["Crc32"].isUInt()) {
    return false;
  }
  const Json::Value& sha256 = item["Sha256"];
  if (!sha256.isNull() && !(sha256.isString() && IsSha256Hex(sha256.asString()))) return false;
  const std::string name = item["Name"].asString();
  if (!IsSafeRecordName(name)) return false;
  record->files[name] = {item["Size"].asUInt64(), item["Crc32"].asUInt(), sha256.isString() ? sha256.asString() : ""};
  return true;
}

// Names of the regular files below `folder`, '/'-separated, depth first. A name that
// no package can hold (IsSafeRecordName) is the player's and stays out: the record
// could not be read back with it.
bool ListFiles(const platform::NativePath& folder, const std::string& prefix, std::vector<std::string>* names) {
  platform::FolderSearch search;
  if (!search.Open(folder)) return false;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    if (entry.name.IsSelfOrParent() || entry.isLink) continue;
    const std::string name = prefix + entry.name.ToUtf8();
    if (entry.isFolder) {
      if (!ListFiles(folder.Join(entry.name), name + "/", names)) return false;
    } else if (IsSafeRecordName(name)) {
      names->push_back(name);
    }
  }
  return true;
}

bool MeasureFile(const std::string& path, ClientFile* file, unsigned char* buffer) {
  platform::File input = platform::File::OpenRead(platform::AnsiToWide(path));
  if (!input.IsOpen()) return false;
  uLong crc = crc32(0, nullptr, 0);
  std::uint64_t size = 0;
  for (;;) {
    std::uint32_t n = 0;
    if (!input.Read(buffer, kScanBuffer, &n)) return false;
    if (n == 0) break;
    crc = crc32(crc, buffer, n);
    size += n;
  }
  *file = {size, static_cast<std::uint32_t>(crc), ""};
  return true;
}

}  // namespace

bool ClientFilesFromJson(const Json::Value& document, ClientFiles* record) {
  if (!document.isObject() || !document["Files"].isArray()) return false;
  ClientFiles loaded;
  loaded.version = ReadJsonText(document, "Version");
  loaded.baseDir = ReadJsonText(document, "BaseDir");
  loaded.scanned = document["Scanned"].isBool() && document["Scanned"].asBool();
  for (const Json::Value& item : document["Files"]) {
    if (!ReadFileEntry(item, &loaded)) return false;
  }
  *record = std::move(loaded);
  return true;
}

bool LoadClientFiles(const std::string& path, ClientFiles* record) {
  Json::Value document;
  return ReadJsonFile(path, document) && ClientFilesFromJson(document, record);
}

Json::Value ClientFilesToJson(const ClientFiles& record) {
  Json::Value document(Json::objectValue);
  document["Version"] = record.version;
  document["BaseDir"] = record.baseDir;
  if (record.scanned) document["Scanned"] = true;
  Json::Value& files = document["Files"] = Json::Value(Json::arrayValue);
  for (const auto& [name, file] : record.files) {
    Json::Value item(Json::objectValue);
    item["Name"] = name;
    item["Size"] = Json::UInt64(file.size);
    item["Crc32"] = Json::UInt(file.crc);
    if (!file.sha256.empty()) item["Sha256"] = file.sha256;
    files.append(item);
  }
  return document;
}

bool SaveClientFiles(const std::string& path, const ClientFiles& record) {
  return WriteJsonFile(path, ClientFilesToJson(record));
}

std::string ClientFilePath(const std::string& folder, const std::string& name) {
  const std::wstring wide = platform::NarrowToWide(name, platform::CodePage::Utf8);
  std::string path = folder + platform::PathSeparator() + platform::WideToNarrow(wide, platform::CodePage::Ansi);
  for (std::size_t i = folder.size(); i < path.size(); ++i) {
    if (path[i] == '/') path[i] = platform::PathSeparator()[0];
  }
  return path;
}

bool ScanClientFolder(const std::string& folder, ClientFiles* record, const std::atomic<bool>& cancel,
                      const std::function<void(double)>& progress) {
  std::vector<std::string> names;
  if (!ListFiles(platform::NativePath::FromAnsi(folder), "", &names)) return false;
  const auto buffer = std::make_unique<unsigned char[]>(kScanBuffer);
  record->files.clear();
  record->scanned = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (cancel) return false;
    ClientFile file;
    if (!MeasureFile(ClientFilePath(folder, names[i]), &file, buffer.get())) return false;
    record->files[names[i]] = file;
    if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(names.size()));
  }
  return true;
}
