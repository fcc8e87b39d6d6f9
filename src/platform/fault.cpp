#include "platform/fault.h"

#include <atomic>
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

std::atomic<bool> g_any{false};
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
}

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
