#include "links.h"

namespace testing_support {
namespace {

bool MakeSymbolicLink(const std::filesystem::path& link, const std::filesystem::path& target) {
  std::error_code ec;
  std::filesystem::create_symlink(target, link, ec);
  return !ec;
}

}  // namespace

std::vector<LinkKind> FolderLinkKinds() { return {{"SymbolicLink", &MakeSymbolicLink, nullptr}}; }

std::vector<LinkKind> FileLinkKinds() { return {{"SymbolicLink", &MakeSymbolicLink, nullptr}}; }

}  // namespace testing_support
