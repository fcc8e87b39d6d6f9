// block_search_bench OLD_FILE BLOCK_MAP NAME: the rolling search of NAME's blocks (from a
// release's `.release/blocks`) over OLD_FILE, on one core. Prints one line of JSON: the
// seconds taken, the old file's size, the blocks found of all, and the process's peak
// memory (VmHWM, KiB) before and after the search.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "store/files.h"
#include "update/block_map.h"
#include "update/block_search.h"

namespace {

long PeakKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: block_search_bench OLD_FILE BLOCK_MAP NAME\n");
    return 2;
  }
  std::string bytes;
  std::vector<BlockedFile> files;
  if (!ReadWholeFile(argv[2], &bytes) || !ParseBlockMap(bytes, &files)) {
    std::fprintf(stderr, "block_search_bench: %s is no block map\n", argv[2]);
    return 1;
  }
  const std::string name = argv[3];
  const BlockedFile* file = nullptr;
  for (const BlockedFile& f : files) {
    if (f.name == name) file = &f;
  }
  if (!file) {
    std::fprintf(stderr, "block_search_bench: the map has no %s\n", argv[3]);
    return 1;
  }
  bytes.clear();
  bytes.shrink_to_fit();
  const long before = PeakKib();
  std::vector<std::int64_t> found;
  const std::atomic<bool> cancel{false};
  const auto start = std::chrono::steady_clock::now();
  if (!FindBlocks(argv[1], *file, cancel, &found)) {
    std::fprintf(stderr, "block_search_bench: %s cannot be read\n", argv[1]);
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::size_t held = 0;
  for (const std::int64_t at : found) held += at != kBlockNotFound;
  std::ifstream old(argv[1], std::ios::binary | std::ios::ate);
  std::printf(
      "{\"seconds\": %.4f, \"size\": %lld, \"found\": %zu, \"blocks\": %zu, \"peak_before_kib\": %ld, "
      "\"peak_after_kib\": %ld}\n",
      seconds, static_cast<long long>(old.tellg()), held, found.size(), before, PeakKib());
  return 0;
}
