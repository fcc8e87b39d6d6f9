#include "update/file_list.h"

#include <cctype>
#include <memory>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "store/files.h"
#include "update/client_files.h"
#include "update/record_name.h"

namespace {

constexpr std::size_t kDigits = 64;
constexpr std::uint32_t kHashBuffer = 256 * 1024;

}  // namespace

bool IsSha256Hex(const std::string& text) {
  return text.size() == kDigits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string Sha256HexOf(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return IsSha256Hex(lower) ? lower : std::string();
}

bool ParseFileList(const std::string& text, std::map<std::string, std::string>* hashes) {
  hashes->clear();
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::string hash = line.substr(0, kDigits);
    if (line.size() <= kDigits + 2 || line.compare(kDigits, 2, "  ") != 0 || !IsSha256Hex(hash)) return false;
    std::string name = line.substr(kDigits + 2);
    if (!IsSafeRecordName(name) || !hashes->emplace(std::move(name), hash).second) return false;
  }
  return true;
}

bool LoadFileList(const std::string& path, const std::string& listHash, std::map<std::string, std::string>* hashes) {
  std::string text;
  return FileSha256(path) == listHash && ReadWholeFile(path, &text) && ParseFileList(text, hashes);
}

std::string FileSha256(const std::string& path) {
  platform::File file = platform::File::OpenRead(platform::AnsiToWide(path));
  platform::Sha256 hash;
  if (!file.IsOpen() || !hash.Reset()) return "";
  const auto buffer = std::make_unique<unsigned char[]>(kHashBuffer);
  for (;;) {
    std::uint32_t n = 0;
    if (!file.Read(buffer.get(), kHashBuffer, &n)) return "";
    if (n == 0) return hash.FinishHex();
    if (!hash.Update(buffer.get(), n)) return "";
  }
}

bool FilesMatchList(const std::string& folder, const std::vector<std::string>& names,
                    const std::map<std::string, std::string>& hashes, const std::atomic<bool>& cancel,
                    const std::function<void(double)>& progress) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (cancel) return false;
    const auto listed = hashes.find(names[i]);
    if (listed == hashes.end() || FileSha256(ClientFilePath(folder, names[i])) != listed->second) return false;
    if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(names.size()));
  }
  return true;
}
