#include "app/config_helpers.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "app/text.h"
#include "platform/appdata.h"
#include "platform/file.h"
#include "platform/path.h"

bool ReadWholeFile(const std::string& path, std::string* content) {
  platform::File file = platform::File::OpenRead(AnsiToWide(path));
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
  platform::File file = platform::File::Create(AnsiToWide(path), platform::kAttributeNormal, 0);
  return file.IsOpen() && file.Write(content.data(), static_cast<std::uint32_t>(content.size()));
}

namespace {

constexpr char kCheckText[] = "CheckWritable!!!";
constexpr std::uint32_t kCheckLength = 16;

const Json::Value* Member(const Json::Value& document, const char* key) {
  if (!document.isObject()) return nullptr;
  return document.find(key, key + std::strlen(key));
}

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

bool ParseJsonText(const std::string& text, Json::Value& document) {
  // The reader keeps no comments, so a rewritten file is the plain styled layout.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader;
  try {
    if (reader.parse(text.data(), text.data() + text.size(), document, false)) return true;
  } catch (const std::exception&) {
    // Past a thousand nested arrays or objects the reader throws instead of failing.
  }
#pragma GCC diagnostic pop
  document = Json::Value();
  return false;
}

bool ReadJsonFile(const std::string& path, Json::Value& document) {
  std::string content;
  return ReadWholeFile(path, &content) && ParseJsonText(content, document);
}

bool WriteJsonFile(const std::string& path, const Json::Value& document) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::StyledWriter writer;
  const std::string text = writer.write(document);
#pragma GCC diagnostic pop
  const std::string temporary = path + ".tmp";
  if (!WriteWholeFile(temporary, text) || !platform::RenameOver(temporary, path)) {
    platform::RemoveFile(temporary);
    return false;
  }
  return true;
}

std::string ReadJsonText(const Json::Value& document, const char* key) {
  const Json::Value* value = Member(document, key);
  return value && value->isString() ? value->asString() : std::string();
}

int ReadJsonInt(const Json::Value& document, const char* key) {
  const Json::Value* value = Member(document, key);
  if (!value) return 0;
  if (value->isBool()) return value->asBool() ? 1 : 0;
  if (value->isInt()) return value->asInt();
  if (value->isDouble()) {
    const double truncated = std::trunc(value->asDouble());
    if (truncated >= std::numeric_limits<int>::min() && truncated <= std::numeric_limits<int>::max()) {
      return static_cast<int>(truncated);
    }
  }
  return 0;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + platform::PathSeparator() + name;
}

std::wstring EnsureAppDataSubfolder(const std::wstring& name) {
  const std::wstring path = platform::GetAppDataFolder() + AnsiToWide(platform::PathSeparator()) + name;
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(path, &attributes)) platform::MakeFolder(path);
  return path;
}

std::string AppDataGameRoot(const std::string& name) {
  return WideToAnsi(EnsureAppDataSubfolder(AnsiToWide(name)));
}

bool CheckWritable(const std::string& path) {
  const std::wstring widePath = AnsiToWide(path);
  {
    platform::File file = platform::File::Create(widePath, platform::kAttributeNormal, 0);
    if (!file.IsOpen()) return false;
    file.Write(kCheckText, kCheckLength);
  }
  char buffer[128] = {};
  {
    platform::File file = platform::File::OpenRead(widePath);
    std::uint32_t n = 0;
    if (file.IsOpen() && !file.Read(buffer, kCheckLength, &n)) buffer[0] = '\0';
  }
  platform::RemoveFile(path);
  return std::strlen(buffer) == kCheckLength && std::memcmp(buffer, kCheckText, kCheckLength) == 0;
}

bool EmptyFolder(const std::string& folder) { return EmptyNativeFolder(platform::NativePath::FromAnsi(folder)); }
