#include "app/config_helpers.h"

#include <cstring>

#include "app/text.h"
#include "platform/appdata.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

constexpr char kCheckText[] = "CheckWritable!!!";
constexpr std::uint32_t kCheckLength = 16;

}  // namespace

std::wstring EnsureAppDataSubfolder(const std::wstring& name) {
  const std::wstring path = platform::GetAppDataFolder() + platform::AnsiToWide(platform::PathSeparator()) + name;
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(path, &attributes)) platform::MakeFolder(path);
  return path;
}

std::string AppDataGameRoot(const std::string& name) {
  return WideToAnsi(EnsureAppDataSubfolder(platform::AnsiToWide(name)));
}

bool CheckWritable(const std::string& path) {
  const std::wstring widePath = platform::AnsiToWide(path);
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
