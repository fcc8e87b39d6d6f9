#include "folder_link.h"

namespace testing_support {
namespace {

bool MakeSymbolicLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  std::error_code ec;
  std::filesystem::create_directory_symlink(target, link, ec);
  return !ec;
}

}  // namespace

std::vector<FolderLinkKind> FolderLinkKinds() { return {{"SymbolicLink", &MakeSymbolicLink, nullptr}}; }

}  // namespace testing_support
