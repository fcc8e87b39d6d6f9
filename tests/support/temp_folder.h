#pragma once
// A fresh folder for one test, removed with everything in it afterwards.
#include <filesystem>
#include <string>

namespace testing_support {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder, or a path below it, as narrow text with the platform's separators.
  std::string Narrow(const std::string& relative = "") const;
  std::wstring Wide(const std::string& relative = "") const;

 private:
  std::filesystem::path path_;
};

// Writes `content` to `path`, creating missing folders.
void WriteFile(const std::filesystem::path& path, const std::string& content);
// The whole content of `path`; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace testing_support
