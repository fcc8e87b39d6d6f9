// Every transfer leaves one line in the launcher's log, without the query of its address.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "log/log.h"
#include "loopback_server.h"
#include "net/downloader.h"
#include "temp_folder.h"

namespace {

using namespace std::chrono_literals;
using net_testing::ServerSession;
using testing_support::ReadFile;
using testing_support::TempFolder;

struct TransferCase {
  const char* name;
  std::string url;
  std::string file;  // "" for memory mode
  std::string expectedHash;
  // Texts the log must hold, and one it must not.
  std::vector<std::string> logged;
  std::string never;
};

void PrintTo(const TransferCase& c, std::ostream* out) { *out << c.name; }

std::vector<TransferCase> Cases() {
  const ServerSession server;
  const std::string wrongHash(64, '0');
  return {
      {"AnswerWithAQuery", server.Url("status?codes=200&body=hello&username=alice-secret"), "", "",
       {"request " + server.Url("status") + ": status 200, 5 bytes, "}, "alice-secret"},
      {"ErrorStatus", server.Url("status?codes=404&body=gone&token=tok-123"), "", "",
       {"request " + server.Url("status") + ": status 404, 4 bytes, "}, "tok-123"},
      {"NoConnection", net_testing::ClosedPortUrl() + "?username=alice-secret", "", "",
       {": status 0, 0 bytes, ", ", failed: "}, "alice-secret"},
      {"WrongHash", server.Url("pattern?size=1000"), "package.zip", wrongHash,
       {": status 200, 1000 bytes, ", "package.zip refused: its SHA-256 does not match the expected hash"}, "?size"},
  };
}

class TransferLogTest : public testing::TestWithParam<TransferCase> {};

TEST_P(TransferLogTest, OneLineWithoutTheQuery) {
  const TransferCase& c = GetParam();
  TempFolder temp;
  {
    applog::LogSession session(temp.Narrow());
    CDownloader downloader(nullptr, 5, 0, 0);
    downloader.SetExpected(-1, c.expectedHash);
    downloader.Start(c.url, c.file.empty() ? "" : temp.Narrow(c.file), "");
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!downloader.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(downloader.finished);
    EXPECT_EQ(downloader.succeeded, c.name == std::string("AnswerWithAQuery"));
  }
  const std::string log = ReadFile(temp.path() / "launcher.log");
  for (const std::string& text : c.logged) EXPECT_NE(log.find(text), std::string::npos) << text << " not in\n" << log;
  EXPECT_EQ(log.find(c.never), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransferLogTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<TransferCase>& info) { return std::string(info.param.name); });

}  // namespace
