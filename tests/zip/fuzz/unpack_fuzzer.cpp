// libFuzzer target: opens the input as a zip archive and unpacks every entry below a
// folder nested four levels deep in a scratch root, in directory order (symbolic links
// included, not held back as the extraction job does). Anything that appears in the
// root outside that folder, or a link inside it that leads out, means an entry
// escaped it, and aborts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "zip/archive.h"

namespace fs = std::filesystem;

namespace {

// Entries beyond this, and more output than this, add time and disk use, not coverage
// (several central headers may share one highly compressed local entry).
constexpr std::int32_t kMaxEntries = 256;
constexpr std::int64_t kMaxOutput = 8 << 20;

const fs::path& Root() {
  static const fs::path root = fs::temp_directory_path() / ("zip-fuzz-" + std::to_string(getpid()));
  return root;
}

void RemoveRoot() {
  std::error_code ec;
  fs::remove_all(Root(), ec);
}

fs::path Target() { return Root() / "a" / "b" / "c" / "d" / "out"; }

[[noreturn]] void Escaped(const fs::path& p) {
  std::fprintf(stderr, "entry escaped the target folder: %s\n", p.c_str());
  std::abort();
}

// Every link below the target, followed as far as it goes, must stay below it (links
// that go round in a circle lead nowhere).
void CheckLinksInside(const fs::path& target) {
  const std::string inside = fs::canonical(target).string() + "/";
  for (auto it = fs::recursive_directory_iterator(target); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_symlink()) continue;
    std::error_code loop;
    const fs::path resolved = fs::weakly_canonical(it->path(), loop);
    if (!loop && (resolved.string() + "/").rfind(inside, 0) != 0) Escaped(it->path());
  }
}

// Everything below the root must be the archive, the target's parents, or inside the target.
void CheckNothingEscaped() {
  const fs::path target = Target();
  for (auto it = fs::recursive_directory_iterator(Root()); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    if (p == target) {
      it.disable_recursion_pending();
      continue;
    }
    const std::string relative = p.lexically_relative(Root()).generic_string();
    if (relative != "archive.zip" && relative != "a" && relative != "a/b" && relative != "a/b/c" &&
        relative != "a/b/c/d") {
      Escaped(p);
    }
  }
  CheckLinksInside(target);
}

void UnpackAll(Archive* archive) {
  ArchiveSetBaseDir(archive, Target().wstring());
  ArchiveEntry entry;
  ArchiveGetEntry(archive, -1, &entry);
  const std::int32_t count = entry.index < kMaxEntries ? entry.index : kMaxEntries;
  std::int64_t output = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    if (ArchiveGetEntry(archive, i, &entry) != ArchiveOk) continue;
    output += static_cast<std::uint32_t>(entry.size);
    if (output <= kMaxOutput) ArchiveUnpackEntry(archive, i, entry.name);
  }
  // Back to the start: the walk restarts from entry 0.
  if (count > 1) ArchiveGetEntry(archive, 0, &entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Registered once the root's path exists, so it runs before the path is destroyed.
  static const bool cleanupRegistered = !Root().empty() && std::atexit(RemoveRoot) == 0;
  (void)cleanupRegistered;
  std::error_code ec;
  fs::remove_all(Root(), ec);
  fs::create_directories(Target());
  {
    std::ofstream out(Root() / "archive.zip", std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  if (Archive* archive = ArchiveOpen((Root() / "archive.zip").wstring())) {
    UnpackAll(archive);
    ArchiveClose(archive);
  }
  CheckNothingEscaped();
  return 0;
}
