#include "platform/fault.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/codepage.h"

namespace platform::fault {
namespace {

struct Rule {
  Op op;
  std::string pathPart;
};

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::atomic<bool> g_any{false};
std::atomic<std::uint64_t> g_freeSpaceLimit{kNoLimit};
std::mutex g_mutex;
std::vector<Rule>& Rules() {
  static std::vector<Rule> rules;
  return rules;
}

}  // namespace

void Inject(Op op, std::string pathPart) {
  std::lock_guard lock(g_mutex);
  Rules().push_back({op, std::move(pathPart)});
  g_any = true;
}

void Clear() {
  std::lock_guard lock(g_mutex);
  Rules().clear();
  g_any = false;
  g_freeSpaceLimit = kNoLimit;
}

void LimitFreeSpace(std::uint64_t bytes) { g_freeSpaceLimit = bytes; }

std::uint64_t LimitedFreeSpace(std::uint64_t real) { return std::min(real, g_freeSpaceLimit.load()); }

bool Hit(Op op, std::string_view path) {
  if (!g_any) return false;
  std::lock_guard lock(g_mutex);
  for (const Rule& rule : Rules()) {
    if (rule.op == op && path.find(rule.pathPart) != std::string_view::npos) return true;
  }
  return false;
}

bool Hit(Op op, const std::wstring& path) {
  if (!g_any) return false;
  return Hit(op, WideToNarrow(path, CodePage::Utf8));
}

}  // namespace platform::fault
