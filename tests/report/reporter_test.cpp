#include "report/reporter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "loopback_server.h"
#include "net/downloader.h"
#include "net/tls_policy.h"
#include "platform/os.h"

namespace {

using namespace std::chrono_literals;
using net_testing::ServerSession;
using Clock = std::chrono::steady_clock;

// The destructor's own bound: the grace period, then about a second for the cancel.
// Generous, so that a loaded machine does not make the tests flaky.
constexpr auto kTeardownBound = CReporter::kTeardownGrace + 3s;

bool WaitUntilIdle(const CReporter& reporter) {
  const auto deadline = Clock::now() + 15s;
  while (!reporter.Idle()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

struct EncodeCase {
  const char* name;
  std::string text;
  std::string encoded;
};

void PrintTo(const EncodeCase& c, std::ostream* out) { *out << c.name; }

class UrlEncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(UrlEncodeTest, EncodesByteByByte) { EXPECT_EQ(CReporter::UrlEncode(GetParam().text), GetParam().encoded); }

INSTANTIATE_TEST_SUITE_P(
    Texts, UrlEncodeTest,
    testing::Values(EncodeCase{"SpaceAndSlash", "a b/c", "a+b%2Fc"}, EncodeCase{"Unreserved", "A-Z_0.9~", "A-Z_0.9~"},
                    EncodeCase{"Empty", "", ""}, EncodeCase{"HighByte", "\xE4", "%E4"},
                    EncodeCase{"QueryCharacters", "&=#?%+", "%26%3D%23%3F%25%2B"},
                    EncodeCase{"ControlBytes", std::string("\x00\x1F\x7F\xFF", 4), "%00%1F%7F%FF"}));

struct QueryCase {
  const char* name;
  int platformId;
  std::string device;
  std::string version;
  int reason;
  std::string remarks[4];
  // What follows "platformId=<id>&os=<os>".
  std::string rest;
};

void PrintTo(const QueryCase& c, std::ostream* out) { *out << c.name; }

class QueryTest : public testing::TestWithParam<QueryCase> {};

// One GET per report, its query byte for byte: nine parameters, always all present.
TEST_P(QueryTest, SendsTheNineParametersInOrder) {
  const QueryCase& c = GetParam();
  ServerSession server;
  {
    CReporter reporter(server.Url("status"), c.platformId, c.device, c.version);
    reporter.Report(c.reason, c.remarks[0], c.remarks[1], c.remarks[2], c.remarks[3]);
    ASSERT_TRUE(WaitUntilIdle(reporter));
  }
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[0].target, server.Path("status") + "?platformId=" + std::to_string(c.platformId) +
                                    "&os=" + platform::OsName() + c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, QueryTest,
    testing::Values(
        QueryCase{"Plain", 3, "alice", "1.2.0", 2, {}, "&device=alice&version=1.2.0&reason=2&remark1=&remark2=&remark3=&remark4="},
        QueryCase{"NegativeReason", 0, "bob", "2.0", -1, {}, "&device=bob&version=2.0&reason=-1&remark1=&remark2=&remark3=&remark4="},
        QueryCase{"Remarks",
                  7,
                  "carol",
                  "1.0",
                  12,
                  {"a b/c", "x&y=z", "", "\xE4"},
                  "&device=carol&version=1.0&reason=12&remark1=a+b%2Fc&remark2=x%26y%3Dz&remark3=&remark4=%E4"},
        // A user name or version holding query characters stays one value.
        QueryCase{"UnsafeDeviceAndVersion",
                  1,
                  "dave & eve=#1 \xC3\xBC",
                  "1.0 beta&x",
                  0,
                  {},
                  "&device=dave+%26+eve%3D%231+%C3%BC&version=1.0+beta%26x&reason=0&remark1=&remark2=&remark3=&remark4="}));

TEST(ReporterPoolTest, ReusesAFinishedDownloader) {
  ServerSession server;
  CReporter reporter(server.Url("status"), 1, "alice", "1.0");
  for (int i = 0; i < 3; ++i) {
    reporter.Report(i, "", "", "", "");
    ASSERT_TRUE(WaitUntilIdle(reporter));
  }
  EXPECT_EQ(reporter.PoolSize(), 1u);
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST(ReporterPoolTest, GrowsOnlyWhileAllAreBusy) {
  ServerSession server;
  CReporter reporter(server.Url("hold"), 1, "alice", "1.0");
  const auto start = Clock::now();
  reporter.Report(1, "", "", "", "");
  ASSERT_TRUE(server.WaitForRequests(1));
  reporter.Report(2, "", "", "", "");
  EXPECT_LT(Clock::now() - start, 3s) << "Report never waits for the endpoint";
  // Both requests are in flight at once, on two downloaders.
  ASSERT_TRUE(server.WaitForRequests(2));
  EXPECT_EQ(reporter.PoolSize(), 2u);
  EXPECT_FALSE(reporter.Idle());

  server.Release();
  ASSERT_TRUE(WaitUntilIdle(reporter));
  reporter.Report(3, "", "", "", "");
  reporter.Report(4, "", "", "", "");
  EXPECT_EQ(reporter.PoolSize(), 2u);
  EXPECT_TRUE(server.WaitForRequests(4));
}

// A report whose worker cannot start is dropped; its downloader is finished, so the next
// report reuses it.
TEST(ReporterPoolTest, DropsAReportWithoutAThreadAndReusesItsDownloader) {
  ServerSession server;
  CReporter reporter(server.Url("status"), 1, "alice", "1.0");
  CDownloader::FailThreadStartsForTesting(1);
  reporter.Report(1, "", "", "", "");
  EXPECT_TRUE(reporter.Idle());
  reporter.Report(2, "", "", "", "");
  ASSERT_TRUE(WaitUntilIdle(reporter));
  EXPECT_EQ(reporter.PoolSize(), 1u);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].target.find("&reason=2&"), std::string::npos);
}

// Reports follow the launcher's certificate choice: with checks on, a server whose
// certificate is not trusted gets nothing (every attempt refused), and one that is gets it.
TEST(ReporterTest, ChecksCertificatesWhenAsked) {
  ServerSession server;
  net::TrustOnlyCaFileForTesting(net_testing::SecureCertificateFile());
  {
    CReporter reporter(server.NamedSecureUrl("status"), 1, "alice", "1.0", net::TlsPolicy{true});
    reporter.Report(5, "", "", "", "");
    EXPECT_TRUE(WaitUntilIdle(reporter));
  }
  EXPECT_TRUE(server.Requests().empty());

  net::TrustOnlyCaFileForTesting(net_testing::NamedSecureCertificateFile());
  {
    CReporter reporter(server.NamedSecureUrl("status"), 1, "alice", "1.0", net::TlsPolicy{true});
    reporter.Report(6, "", "", "", "");
    EXPECT_TRUE(WaitUntilIdle(reporter));
  }
  net::TrustOnlyCaFileForTesting("");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].target.find("&reason=6&"), std::string::npos) << requests[0].target;
}

// Any answer delivers a report; only a server error (or no answer) is worth another try.
struct AnswerCase {
  const char* name;
  std::string codes;
  std::size_t requests;
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

class ReportAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ReportAnswerTest, SendsUntilAnswered) {
  const AnswerCase& c = GetParam();
  ServerSession server;
  {
    CReporter reporter(server.Url("status/" + c.codes), 1, "alice", "1.0");
    reporter.Report(3, "", "", "", "");
    ASSERT_TRUE(WaitUntilIdle(reporter));
  }
  EXPECT_EQ(server.Requests().size(), c.requests);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, ReportAnswerTest,
                         testing::Values(AnswerCase{"NoContent", "204", 1}, AnswerCase{"Redirect", "304", 1},
                                         AnswerCase{"NotFound", "404", 1},
                                         AnswerCase{"ServerErrorThenOk", "500,200", 2},
                                         AnswerCase{"ServerErrors", "503", 3}));

TEST(ReporterTest, EmptyBaseAddressFailsQuietlyAndTearsDownInBound) {
  auto reporter = std::make_unique<CReporter>("", 3, "alice", "1.2.0");
  reporter->Report(2, "", "", "", "");
  const auto start = Clock::now();
  reporter.reset();
  EXPECT_LT(Clock::now() - start, kTeardownBound);
}

// A report made just before teardown still reaches the endpoint, and whatever the
// endpoint does, teardown ends within its bound.
struct TeardownCase {
  const char* name;
  std::string (*base)(const ServerSession&);
  bool reachesServer;
};

void PrintTo(const TeardownCase& c, std::ostream* out) { *out << c.name; }

class TeardownTest : public testing::TestWithParam<TeardownCase> {};

TEST_P(TeardownTest, DeliversThenReturnsInBound) {
  const TeardownCase& c = GetParam();
  ServerSession server;
  auto reporter = std::make_unique<CReporter>(c.base(server), 3, "alice", "1.2.0");
  reporter->Report(4, "", "", "", "");
  const auto start = Clock::now();
  reporter.reset();
  EXPECT_LT(Clock::now() - start, kTeardownBound);
  if (c.reachesServer) {
    EXPECT_EQ(server.Requests().size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, TeardownTest,
    testing::Values(TeardownCase{"Answering", [](const ServerSession& s) { return s.Url("status"); }, true},
                    TeardownCase{"Slow", [](const ServerSession& s) { return s.Url("slow/500"); }, true},
                    TeardownCase{"Silent", [](const ServerSession& s) { return s.Url("hold"); }, true},
                    TeardownCase{"Refusing", [](const ServerSession&) { return net_testing::ClosedPortUrl(); }, false},
                    TeardownCase{"NotAccepting", [](const ServerSession&) { return net_testing::BlackHoleUrl(); },
                                 false}));

}  // namespace
