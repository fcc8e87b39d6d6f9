#include "temp_folder.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace testing_support {

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = fs::temp_directory_path() / ("launcher-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Files made read-only by a test must not keep the folder alive.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempFolder::Narrow(const std::string& relative) const {
  fs::path p = relative.empty() ? path_ : path_ / fs::path(relative).make_preferred();
  return p.make_preferred().string();
}

std::wstring TempFolder::Wide(const std::string& relative) const {
  fs::path p = relative.empty() ? path_ : path_ / fs::path(relative).make_preferred();
  return p.make_preferred().wstring();
}

void WriteFile(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testing_support
