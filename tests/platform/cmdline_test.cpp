#include "platform/cmdline.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

struct SplitCase {
  const char* line;
  Args expected;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << '[' << c.line << ']'; }

class SplitCommandLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FollowsTheWindowsRuntimeRules) {
  EXPECT_EQ(platform::SplitCommandLine(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    testing::Values(SplitCase{"", {}}, SplitCase{"a.exe", {"a.exe"}},
                    SplitCase{"\"C:\\Program Files\\g.exe\" x", {"C:\\Program Files\\g.exe", "x"}},
                    SplitCase{"\"C:\\dir\\\" b", {"C:\\dir\\", "b"}},
                    SplitCase{"g.exe  a\tb  ", {"g.exe", "a", "b"}},
                    SplitCase{"g.exe \"\"", {"g.exe", ""}},
                    SplitCase{"g.exe \"a b\" c", {"g.exe", "a b", "c"}},
                    SplitCase{"g.exe a\\\\b", {"g.exe", "a\\\\b"}},
                    SplitCase{"g.exe \"a\\\\\"", {"g.exe", "a\\"}},
                    SplitCase{"g.exe a\\\"b", {"g.exe", "a\"b"}},
                    SplitCase{"g.exe a\\\\\\\"b", {"g.exe", "a\\\"b"}},
                    SplitCase{"g.exe \"a\"\"b\"", {"g.exe", "a\"b"}},
                    SplitCase{"g.exe x\"y z\"w", {"g.exe", "xy zw"}}));

}  // namespace
