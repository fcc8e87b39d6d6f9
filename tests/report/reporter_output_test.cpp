#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "debug_output_capture.h"
#include "loopback_server.h"
#include "platform/os.h"
#include "report/reporter.h"

namespace {

using namespace std::chrono_literals;

// Each report writes one line of diagnostic output, exactly its URL, before the request
// starts.
TEST(ReporterOutputTest, WritesTheUrlOncePerReport) {
  net_testing::ServerSession server;
  const std::string query = std::string("?platformId=3&os=") + platform::OsName() + "&device=alice&version=1.2.0&reason=";
  CReporter reporter(server.Url("status"), 3, "alice", "1.2.0");
  CReporter withoutBase("", 3, "alice", "1.2.0");

  report_testing::DebugOutputCapture capture;
  reporter.Report(2, "", "", "", "");
  reporter.Report(-1, "a b", "", "", "");
  withoutBase.Report(5, "", "", "", "");
  const std::string output = capture.Finish();

  EXPECT_EQ(output, server.Url("status") + query + "2&remark1=&remark2=&remark3=&remark4=\n" + server.Url("status") +
                        query + "-1&remark1=a+b&remark2=&remark3=&remark4=\n" + query +
                        "5&remark1=&remark2=&remark3=&remark4=\n");
  EXPECT_TRUE(server.WaitForRequests(2));
}

}  // namespace
