#include "platform/fault.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
  bool hold = false;  // waits instead of failing
};

constexpr std::chrono::seconds kLongestHold{10};

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::atomic<bool> g_any{false};
std::atomic<std::uint64_t> g_freeSpaceLimit{kNoLimit};
std::mutex g_mutex;
std::condition_variable g_released;
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

void Hold(Op op, std::string pathPart) {
  std::lock_guard lock(g_mutex);
  Rules().push_back({op, std::move(pathPart), true});
  g_any = true;
}

void Release() {
  {
    std::lock_guard lock(g_mutex);
    std::erase_if(Rules(), [](const Rule& rule) { return rule.hold; });
  }
  g_released.notify_all();
}

void Clear() {
  {
    std::lock_guard lock(g_mutex);
    Rules().clear();
    g_any = false;
    g_freeSpaceLimit = kNoLimit;
  }
  g_released.notify_all();
}

void LimitFreeSpace(std::uint64_t bytes) { g_freeSpaceLimit = bytes; }

std::uint64_t LimitedFreeSpace(std::uint64_t real) { return std::min(real, g_freeSpaceLimit.load()); }

bool Hit(Op op, std::string_view path) {
  if (!g_any) return false;
  std::unique_lock lock(g_mutex);
  const auto matches = [&](bool hold) {
    return std::any_of(Rules().begin(), Rules().end(), [&](const Rule& rule) {
      return rule.hold == hold && rule.op == op && path.find(rule.pathPart) != std::string_view::npos;
    });
  };
  g_released.wait_for(lock, kLongestHold, [&] { return !matches(true); });
  return matches(false);
}

bool Hit(Op op, const std::wstring& path) {
  if (!g_any) return false;
  return Hit(op, WideToNarrow(path, CodePage::Utf8));
}

}  // namespace platform::fault
