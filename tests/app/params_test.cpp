#include "app/params.h"

#include <gtest/gtest.h>

#include "platform/cmdline.h"

namespace {

using Tokens = std::vector<std::string>;

struct SplitCase {
  const char* text;
  const char* separator;
  Tokens expected;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << '[' << c.text << "] at [" << c.separator << ']'; }

class SplitStringTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitStringTest, KeepsEmptyTokens) {
  Tokens out{"stale"};
  SplitString(GetParam().text, GetParam().separator, out);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitStringTest,
                         testing::Values(SplitCase{"", "&", {}}, SplitCase{"abc", "", {"abc"}},
                                         SplitCase{"a&b", "&", {"a", "b"}}, SplitCase{"a&&b", "&", {"a", "", "b"}},
                                         SplitCase{"a&", "&", {"a", ""}}, SplitCase{"&a", "&", {"", "a"}},
                                         SplitCase{"&", "&", {"", ""}}, SplitCase{"a==b", "==", {"a", "b"}},
                                         SplitCase{"a=", "=", {"a", ""}}, SplitCase{"=b", "=", {"", "b"}}));

struct ParseCase {
  const char* text;
  ParamMap expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '[' << c.text << ']'; }

class ParseParamsTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseParamsTest, BuildsTheOrderedMap) {
  ParamMap params;
  ParseParams(GetParam().text, params);
  EXPECT_EQ(params, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseParamsTest,
    testing::Values(ParseCase{"username=alice&token=x", {{"token", "x"}, {"username", "alice"}}},
                    ParseCase{"a=1&a=2", {{"a", "2"}}}, ParseCase{"x", {}}, ParseCase{"", {}},
                    ParseCase{"a=b=c", {{"a", "b"}}}, ParseCase{"a=&=b", {{"a", ""}, {"", "b"}}},
                    ParseCase{"n=a+b%20c d&&k", {{"n", "a+b%20c d"}}}));

TEST(GameCommandLine, QuotesTheExecutableNameKeysAndExtraArguments) {
  ParamMap params;
  ParseParams("token=x&username=alice", params);
  EXPECT_EQ(GameCommandLine(".\\client\\game.exe", GameArguments(params["username"], JoinParams(params), "-window")),
            "\".\\client\\game.exe\" -AppUniqueId \"alice\" -PCORVO \"token=x&username=alice\" \"-window\"");
}

TEST(GameCommandLine, SortsParametersAndKeepsEmptyValues) {
  ParamMap params;
  ParseParams("b=2&a=1&username=bob", params);
  EXPECT_EQ(JoinParams(params), "a=1&b=2&username=bob");
  ParamMap anonymous;
  ParseParams("a=1", anonymous);
  anonymous["username"];
  EXPECT_EQ(GameArguments(anonymous["username"], JoinParams(anonymous), ""),
            "-AppUniqueId \"\" -PCORVO \"a=1&username=\" \"\"");
}

struct ArgumentCase {
  const char* user;
  const char* joined;
  const char* extra;
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.user << " | " << c.joined << " | " << c.extra; }

class GameArgumentsTest : public testing::TestWithParam<ArgumentCase> {};

// Whatever the texts hold, the game receives each as exactly one argument.
TEST_P(GameArgumentsTest, EachValueArrivesAsOneExactArgument) {
  const ArgumentCase& c = GetParam();
  const std::string line = GameCommandLine("C:\\Games\\My Game\\game.exe", GameArguments(c.user, c.joined, c.extra));
  const std::vector<std::string> expected{"C:\\Games\\My Game\\game.exe", "-AppUniqueId", c.user, "-PCORVO", c.joined,
                                          c.extra};
  EXPECT_EQ(platform::SplitCommandLine(line), expected) << line;
}

INSTANTIATE_TEST_SUITE_P(Values, GameArgumentsTest,
                         testing::Values(ArgumentCase{"alice", "username=alice", ""},
                                         ArgumentCase{"alice smith", "a=1&username=alice smith", "-window -x"},
                                         ArgumentCase{"say \"hi\"", "q=\"&username=say \"hi\"", "--title=\"A B\""},
                                         ArgumentCase{"trail\\", "p=C:\\dir\\", "C:\\out\\\\"},
                                         ArgumentCase{"a\\\"b", "x=\\\\\"", "\\"},
                                         ArgumentCase{"\xC3\xA9l\xC3\xA8ve", "username=\xC3\xA9l\xC3\xA8ve", ""}));

// The page's text may hold a NUL (a script's string can); the command line is a C
// string, so a NUL kept in it would end it there and drop every later argument.
TEST(GameCommandLine, ATextEndsAtItsFirstNulAndTheArgumentsAfterItStay) {
  using namespace std::string_literals;
  const std::string line =
      GameCommandLine("C:\\game.exe", GameArguments("ali\0ce"s, "username=ali\0ce"s, "-x\0 \"y\""s));
  EXPECT_EQ(line.find('\0'), std::string::npos);
  const std::vector<std::string> expected{"C:\\game.exe", "-AppUniqueId", "ali", "-PCORVO", "username=ali", "-x"};
  EXPECT_EQ(platform::SplitCommandLine(line), expected) << line;
}

TEST(Quote, PlainTextIsQuotedUnchanged) {
  EXPECT_EQ(Quote("a b\\c"), "\"a b\\c\"");
  EXPECT_EQ(Quote(""), "\"\"");
  EXPECT_EQ(Quote("x", '\''), "'x'");
}

}  // namespace
