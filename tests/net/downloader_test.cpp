#include "net/downloader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "environment.h"
#include "loopback_server.h"
#include "net/request_options.h"
#include "net/tls_policy.h"
#include "platform/fault.h"
#include "platform/sha256.h"
#include "temp_folder.h"

namespace {

using namespace std::chrono_literals;
using net_testing::PatternBytes;
using net_testing::ServerSession;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

// Bound for operations that should take about a second at most; generous, so that a
// loaded machine does not make the tests flaky.
constexpr auto kPromptly = 3s;

struct ProgressStep {
  double value;
  std::size_t bytesHeld;  // memory-mode body size when the notification came
};

// Records the notifications; they arrive on the worker thread.
class RecordingCallback : public CDownloaderCallback {
 public:
  void OnDownloadFinished(CDownloader* downloader) override {
    std::lock_guard lock(mutex_);
    finishedResults_.push_back(downloader->succeeded);
  }

  void OnDownloadProgress(CDownloader* downloader) override {
    // The worker's own thread, so its buffer may be looked at here.
    std::lock_guard lock(mutex_);
    steps_.push_back({downloader->progress, downloader->GetContent().size()});
  }

  std::vector<bool> FinishedResults() const {
    std::lock_guard lock(mutex_);
    return finishedResults_;
  }

  std::vector<ProgressStep> Steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<bool> finishedResults_;
  std::vector<ProgressStep> steps_;
};

// `finished` is set just before OnDownloadFinished is called, so the worker is joined
// as well: then the callback has returned and what it recorded can be looked at.
bool WaitUntilFinished(CDownloader& downloader, std::chrono::milliseconds timeout = 15s) {
  const auto deadline = Clock::now() + timeout;
  while (!downloader.finished) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  downloader.Stop();
  return true;
}

std::string Sha256Of(const std::string& bytes) {
  platform::Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishHex();
}

// Where a file download keeps its body and the record of what it is until it is complete.
std::string PartOf(const std::string& file) { return file + ".part"; }
std::string RecordOf(const std::string& file) { return file + ".part.json"; }

std::size_t BytesSent(const std::vector<net_testing::LoggedRequest>& requests) {
  std::size_t sent = 0;
  for (const auto& request : requests) sent += request.bytesSent;
  return sent;
}

template <typename F>
Clock::duration TimeOf(F&& f) {
  const auto start = Clock::now();
  f();
  return Clock::now() - start;
}

class DownloaderTest : public testing::Test {
 protected:
  void TearDown() override {
    platform::fault::Clear();
    CDownloader::FailThreadStartsForTesting(0);
    net::TrustOnlyCaFileForTesting("");
    net::SetLowSpeedTimeForTesting(0);
  }

  // Runs one transfer to its end with no retries.
  void Download(CDownloader& downloader, const std::string& url, const std::string& file = "",
                const std::string& post = "") {
    downloader.Start(url, file, post);
    ASSERT_TRUE(WaitUntilFinished(downloader));
  }

  ServerSession server;
  TempFolder temp;
  RecordingCallback callback;
};

// Only a final status of exactly 200 counts as success.
class StatusTest : public DownloaderTest, public testing::WithParamInterface<int> {};

TEST_P(StatusTest, SucceedsOnlyOn200) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("status?codes=" + std::to_string(GetParam())));
  EXPECT_EQ(downloader.succeeded, GetParam() == 200);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(callback.FinishedResults(), std::vector<bool>{GetParam() == 200});
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusTest, testing::Values(200, 201, 206, 304, 404, 500));

struct RetryCase {
  int retryCount;
  int retryDelay;
  std::size_t attempts;
};

void PrintTo(const RetryCase& c, std::ostream* out) {
  *out << "Retries" << c.retryCount << "Delay" << c.retryDelay;
}

class RetryTest : public DownloaderTest, public testing::WithParamInterface<RetryCase> {};

// retry count + 1 attempts, and the delay after every failed one, the last included.
TEST_P(RetryTest, CountsAttemptsAndDelays) {
  const RetryCase c = GetParam();
  CDownloader downloader(&callback, 5, c.retryCount, c.retryDelay);
  const auto elapsed = TimeOf([&] { Download(downloader, server.Url("status?codes=404")); });

  EXPECT_FALSE(downloader.succeeded);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), c.attempts);
  const auto delay = std::chrono::seconds(c.retryDelay);
  // The pause follows the last attempt too, before finished is set.
  EXPECT_GE(elapsed, c.attempts * delay);
  if (c.attempts == 0) {
    EXPECT_LT(elapsed, 1s);
  }
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_GE(requests[i].timeMs - requests[i - 1].timeMs, c.retryDelay * 1000.0 - 20) << "before attempt " << i;
  }
  EXPECT_EQ(callback.FinishedResults(), std::vector<bool>{false});
}

INSTANTIATE_TEST_SUITE_P(Counts, RetryTest,
                         testing::Values(RetryCase{2, 1, 3}, RetryCase{0, 1, 1}, RetryCase{3, 0, 4},
                                         RetryCase{-1, 1, 0}));

TEST_F(DownloaderTest, StopsRetryingAtTheFirst200) {
  CDownloader downloader(&callback, 5, 5, 0);
  Download(downloader, server.Url("status?codes=500,404,200,404"));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(server.Requests().size(), 3u);
  // Each attempt starts with an empty buffer: only the body of the 200 answer is left.
  EXPECT_EQ(downloader.GetContent(), "200 #2");
}

TEST_F(DownloaderTest, FileModeWritesTheBodyOverAnOldFile) {
  const std::string file = temp.Narrow("package.zip");
  WriteFile(file, std::string(3000000, 'z'));
  CDownloader downloader(&callback, 5, 1, 0);
  Download(downloader, server.Url("pattern?size=2000000&chunk=70000"), file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_FALSE(downloader.outOfSpace);
  EXPECT_EQ(ReadFile(file), PatternBytes(2000000));
  EXPECT_EQ(downloader.GetContent(), "") << "file mode keeps nothing in memory";
  EXPECT_FALSE(std::filesystem::exists(PartOf(file)));
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file)));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].range, "");
  EXPECT_EQ(requests[0].ifRange, "");
}

// The file appears only complete; a failed download leaves what the last attempt wrote
// in the part, and no older file under the name.
TEST_F(DownloaderTest, PartKeepsWhatTheLastFailedAttemptWrote) {
  const std::string file = temp.Narrow("out.bin");
  WriteFile(file, "an older download");
  CDownloader downloader(&callback, 5, 1, 0);
  Download(downloader, server.Url("status?codes=404,503"), file);
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(ReadFile(PartOf(file)), "503 #1");
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file))) << "an error page is nothing to resume";
}

// A failed attempt that received part of the body is followed by a request for the rest
// when the server named the content (ETag, or else Last-Modified), answered with a 206
// that continues the part. Any other answer starts over from the first byte: a 200 (the
// server ignores ranges, or the content changed), a 416 or a range elsewhere (at once,
// within the same attempt). The first answer is cut after 60000 of 100000 bytes.
struct ExchangeCase {
  std::string range;
  std::string ifRange;
};

struct ResumeCase {
  const char* name;
  std::string query;  // for the "ranged" action
  std::size_t size;   // of the final body
  std::vector<ExchangeCase> requests;
  std::size_t bytesSent;  // in all; 0: not predictable
  bool resumes;           // progress never goes back
  bool checked;           // with the expected size and hash
};

void PrintTo(const ResumeCase& c, std::ostream* out) { *out << c.name; }

class ResumeTest : public DownloaderTest, public testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, AsksForTheRestOrStartsOver) {
  const ResumeCase c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, 5, 1, 0);
  if (c.checked) downloader.SetExpected(static_cast<std::int64_t>(c.size), Sha256Of(PatternBytes(c.size)));
  Download(downloader, server.Url("ranged?chunk=10000&pause=5&cut=60000,-&" + c.query), file);

  EXPECT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(c.size));
  EXPECT_FALSE(std::filesystem::exists(PartOf(file)));
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file)));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), c.requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].range, c.requests[i].range) << "request " << i;
    EXPECT_EQ(requests[i].ifRange, c.requests[i].ifRange) << "request " << i;
  }
  if (c.bytesSent) {
    EXPECT_EQ(BytesSent(requests), c.bytesSent);
  }
  const auto steps = callback.Steps();
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.back().value, 1.0);
  for (std::size_t i = 1; c.resumes && i < steps.size(); ++i) {
    EXPECT_GE(steps[i].value, steps[i - 1].value) << "the bytes kept count from the start of the next attempt";
  }
}

const std::string kModified = "Wed, 21 Oct 2015 07:28:00 GMT";
const ExchangeCase kWhole{"", ""};
const ExchangeCase kRestOfV1{"bytes=60000-", "\"v1\""};

INSTANTIATE_TEST_SUITE_P(
    Answers, ResumeTest,
    testing::Values(
        ResumeCase{"EtagResumes", "size=100000&etag=v1", 100000, {kWhole, kRestOfV1}, 100000, true, false},
        ResumeCase{"EtagResumesChecked", "size=100000&etag=v1", 100000, {kWhole, kRestOfV1}, 100000, true, true},
        ResumeCase{"LastModifiedResumes",
                   "size=100000&modified=1",
                   100000,
                   {kWhole, {"bytes=60000-", kModified}},
                   100000,
                   true,
                   false},
        ResumeCase{"WeakEtagGivesWayToLastModified",
                   "size=100000&etag=W/v1&modified=1",
                   100000,
                   {kWhole, {"bytes=60000-", kModified}},
                   100000,
                   true,
                   false},
        ResumeCase{"NoValidatorStartsOver", "size=100000", 100000, {kWhole, kWhole}, 160000, false, false},
        ResumeCase{"ControlCharacterInTheEtagStartsOver", "size=100000&etag=v%0D1", 100000, {kWhole, kWhole}, 160000,
                   false, false},
        ResumeCase{"RangeIgnoredStartsOver", "size=100000&etag=v1&ranges=0", 100000, {kWhole, kRestOfV1}, 160000,
                   false, true},
        ResumeCase{"ChangedEtagStartsOver", "size=100000&etag=v1,v2", 100000, {kWhole, kRestOfV1}, 160000, false,
                   true},
        ResumeCase{"RangePastTheEndStartsOver", "size=100000,50000&etag=v1", 50000, {kWhole, kRestOfV1, kWhole},
                   110000, false, false},
        ResumeCase{"RangeElsewhereStartsOver", "size=100000&etag=v1&shift=100", 100000,
                   {kWhole, kRestOfV1, kWhole}, 0, false, true}));

// What an earlier run left (it was cut after 60000 of 100000 bytes) is continued by a
// new downloader only when its record names the same URL.
struct EarlierPartCase {
  const char* name;
  std::string otherQuery;  // added to the second run's URL
  bool recordLost;
  bool checked;
  std::uint64_t freeSpace;  // for the second run; 0: as it is
  bool resumes;
};

void PrintTo(const EarlierPartCase& c, std::ostream* out) { *out << c.name; }

class EarlierPartTest : public DownloaderTest, public testing::WithParamInterface<EarlierPartCase> {};

TEST_P(EarlierPartTest, ResumedOnlyForTheSameUrl) {
  const EarlierPartCase c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  const std::string url = server.Url("ranged?size=100000&etag=v1&cut=60000,-");
  {
    CDownloader earlier(&callback, 5, 0, 0);
    Download(earlier, url, file);
    ASSERT_FALSE(earlier.succeeded);
  }
  ASSERT_EQ(std::filesystem::file_size(PartOf(file)), 60000u);
  if (c.recordLost) std::filesystem::remove(RecordOf(file));
  if (c.freeSpace) platform::fault::LimitFreeSpace(c.freeSpace);

  CDownloader downloader(&callback, 5, 0, 0);
  if (c.checked) downloader.SetExpected(100000, Sha256Of(PatternBytes(100000)));
  Download(downloader, url + c.otherQuery, file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(100000));
  EXPECT_FALSE(std::filesystem::exists(PartOf(file)));
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file)));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, c.resumes ? "bytes=60000-" : "");
  EXPECT_EQ(requests[1].ifRange, c.resumes ? "\"v1\"" : "");
  EXPECT_EQ(BytesSent(requests), c.resumes ? 100000u : 160000u);
}

INSTANTIATE_TEST_SUITE_P(Records, EarlierPartTest,
                         testing::Values(EarlierPartCase{"SameUrl", "", false, false, 0, true},
                                         EarlierPartCase{"SameUrlChecked", "", false, true, 0, true},
                                         EarlierPartCase{"OnlyTheRestMustFit", "", false, true, 40000, true},
                                         EarlierPartCase{"OtherUrl", "&other=1", false, false, 0, false},
                                         EarlierPartCase{"NoRecord", "", true, false, 0, false}));

// An earlier run's record whose validator holds a control character resumes nothing:
// a line end in it would reach the server as a header of the record's choosing.
struct RecordCase {
  const char* name;
  std::string validatorJson;  // as written into the record
  bool resumes;
};

void PrintTo(const RecordCase& c, std::ostream* out) { *out << c.name; }

class RecordTest : public DownloaderTest, public testing::WithParamInterface<RecordCase> {};

TEST_P(RecordTest, AValidatorWithControlCharactersIsNoRecord) {
  const RecordCase& c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  const std::string url = server.Url("ranged?size=100000&etag=v1&cut=60000,-");
  {
    CDownloader earlier(&callback, 5, 0, 0);
    Download(earlier, url, file);
    ASSERT_FALSE(earlier.succeeded);
  }
  ASSERT_EQ(std::filesystem::file_size(PartOf(file)), 60000u);
  WriteFile(RecordOf(file), R"({"Url":")" + url + R"(","Validator":)" + c.validatorJson + "}");

  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, url, file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(100000));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, c.resumes ? "bytes=60000-" : "");
  EXPECT_EQ(requests[1].ifRange, c.resumes ? "\"v1\"" : "");
}

INSTANTIATE_TEST_SUITE_P(Records, RecordTest,
                         testing::Values(RecordCase{"Plain", R"("\"v1\"")", true},
                                         RecordCase{"LineBreak", R"("\"v1\"\r\nX-Injected: 1")", false},
                                         RecordCase{"ControlCharacter", R"("\"v1\u0001\"")", false},
                                         RecordCase{"Delete", "\"\\\"v1\x7f\\\"\"", false}),
                         [](const testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// A body that does not match its expected size or hash fails the attempt, and its bytes
// are thrown away, so that every retry starts over; a body longer than expected fails as
// soon as it outgrows the size.
struct IntegrityCase {
  const char* name;
  std::int64_t size;  // expected; -1: unknown
  std::string hash;   // expected; empty: unknown
  bool succeeds;
};

void PrintTo(const IntegrityCase& c, std::ostream* out) { *out << c.name; }

class IntegrityTest : public DownloaderTest, public testing::WithParamInterface<IntegrityCase> {};

TEST_P(IntegrityTest, AcceptsOnlyTheExpectedBody) {
  const IntegrityCase c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, 5, 2, 0);
  downloader.SetExpected(c.size, c.hash);
  Download(downloader, server.Url("ranged?size=300000&etag=v1&chunk=50000&pause=5"), file);
  EXPECT_EQ(downloader.succeeded, c.succeeds);
  EXPECT_EQ(downloader.bodyRefused(), !c.succeeds) << "the server sent other content: not a cut transfer";
  EXPECT_EQ(std::filesystem::exists(file), c.succeeds);
  if (c.succeeds) {
    EXPECT_TRUE(ReadFile(file) == PatternBytes(300000));
  }
  EXPECT_FALSE(std::filesystem::exists(PartOf(file)));
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file)));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), c.succeeds ? 1u : 3u);
  for (const auto& request : requests) EXPECT_EQ(request.range, "") << "nothing of a wrong body is resumed";
}

const std::string kRightHash = Sha256Of(PatternBytes(300000));
const std::string kWrongHash = Sha256Of(PatternBytes(299999));

INSTANTIATE_TEST_SUITE_P(Bodies, IntegrityTest,
                         testing::Values(IntegrityCase{"Both", 300000, kRightHash, true},
                                         IntegrityCase{"SizeOnly", 300000, "", true},
                                         IntegrityCase{"HashOnly", -1, kRightHash, true},
                                         IntegrityCase{"Shorter", 300001, kRightHash, false},
                                         IntegrityCase{"Longer", 299999, "", false},
                                         IntegrityCase{"WrongHash", 300000, kWrongHash, false},
                                         IntegrityCase{"WrongHashOnly", -1, kWrongHash, false}));

// A failed download whose body never came whole is no refused body, whatever was expected.
struct UnrefusedCase {
  const char* name;
  std::string action;
  int lastStatus;
};

void PrintTo(const UnrefusedCase& c, std::ostream* out) { *out << c.name; }

class UnrefusedTest : public DownloaderTest, public testing::WithParamInterface<UnrefusedCase> {};

TEST_P(UnrefusedTest, TellsAFailedTransferFromARefusedBody) {
  const UnrefusedCase& c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, 5, 0, 0);
  downloader.SetExpected(300000, kWrongHash);
  Download(downloader, server.Url(c.action), file);
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_FALSE(downloader.bodyRefused());
  EXPECT_EQ(downloader.lastStatus(), c.lastStatus);
}

INSTANTIATE_TEST_SUITE_P(Transfers, UnrefusedTest,
                         testing::Values(UnrefusedCase{"Cut", "ranged?size=300000&etag=v1&cut=100000", 200},
                                         UnrefusedCase{"ErrorPage", "status?codes=404", 404},
                                         UnrefusedCase{"ServerError", "status?codes=503", 503}));

// A body of known size (expected, or announced) that the volume cannot take fails the
// download at once, with no retry and nothing left behind.
struct SpaceCase {
  const char* name;
  std::string action;
  std::int64_t expectedSize;
  std::uint64_t freeSpace;
  bool fits;
};

void PrintTo(const SpaceCase& c, std::ostream* out) { *out << c.name; }

class FreeSpaceTest : public DownloaderTest, public testing::WithParamInterface<SpaceCase> {};

TEST_P(FreeSpaceTest, FailsAtOnceWithoutRoom) {
  const SpaceCase c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  platform::fault::LimitFreeSpace(c.freeSpace);
  CDownloader downloader(&callback, 5, 2, 0);
  downloader.SetExpected(c.expectedSize, "");
  Download(downloader, server.Url(c.action), file);
  EXPECT_EQ(downloader.succeeded, c.fits);
  EXPECT_EQ(downloader.outOfSpace, !c.fits);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(std::filesystem::exists(file), c.fits);
  EXPECT_FALSE(std::filesystem::exists(PartOf(file)));
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file)));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FreeSpaceTest,
    testing::Values(SpaceCase{"AnnouncedTooLong", "ranged?size=300000&etag=v1", -1, 299999, false},
                    SpaceCase{"AnnouncedFits", "ranged?size=300000&etag=v1", -1, 300000, true},
                    SpaceCase{"ExpectedTooLong", "pattern?size=300000&chunked=1", 300000, 299999, false},
                    SpaceCase{"UnknownLength", "pattern?size=300000&chunked=1", -1, 1000, true}));

struct RedirectCase {
  int redirect;
  int finalStatus;
};

void PrintTo(const RedirectCase& c, std::ostream* out) { *out << c.redirect << "To" << c.finalStatus; }

class RedirectTest : public DownloaderTest, public testing::WithParamInterface<RedirectCase> {};

TEST_P(RedirectTest, FollowsAndOnlyTheFinalStatusCounts) {
  const RedirectCase c = GetParam();
  const std::string target = "status?codes=" + std::to_string(c.finalStatus) + "&body=final";
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("status?codes=" + std::to_string(c.redirect) +
                                  "&location=" + net_testing::QueryValue(server.Path(target))));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, server.Path(target));
  EXPECT_EQ(downloader.succeeded, c.finalStatus == 200);
  EXPECT_EQ(downloader.GetContent(), "final");
}

INSTANTIATE_TEST_SUITE_P(Redirects, RedirectTest,
                         testing::Values(RedirectCase{302, 200}, RedirectCase{301, 200}, RedirectCase{307, 200},
                                         RedirectCase{302, 404}));

struct ChainCase {
  int redirects;
  bool succeeds;
};

void PrintTo(const ChainCase& c, std::ostream* out) { *out << c.redirects; }

class RedirectChainTest : public DownloaderTest, public testing::WithParamInterface<ChainCase> {};

// Ten redirects are followed; the eleventh is refused, so a loop cannot go on forever.
TEST_P(RedirectChainTest, FollowsAtMostTenRedirects) {
  const ChainCase c = GetParam();
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("chain/" + std::to_string(c.redirects)));
  EXPECT_EQ(downloader.succeeded, c.succeeds);
  // The first request and ten followed redirects, either way.
  EXPECT_EQ(server.Requests().size(), 11u);
  if (c.succeeds) {
    EXPECT_EQ(downloader.GetContent(), "end of chain");
  }
}

INSTANTIATE_TEST_SUITE_P(Chains, RedirectChainTest, testing::Values(ChainCase{10, true}, ChainCase{11, false}));

// With certificate checks on, a redirect may not lead to plain HTTP, where nothing would
// be checked; without them it is followed as before.
struct DowngradeCase {
  const char* name;
  bool verify;
  bool toPlainHttp;
  bool follows;
};

void PrintTo(const DowngradeCase& c, std::ostream* out) { *out << c.name; }

class RedirectDowngradeTest : public DownloaderTest, public testing::WithParamInterface<DowngradeCase> {};

TEST_P(RedirectDowngradeTest, FollowsToPlainHttpOnlyWithoutChecks) {
  const DowngradeCase& c = GetParam();
  net::TrustOnlyCaFileForTesting(net_testing::NamedSecureCertificateFile());
  const std::string target = "status?body=final";
  const std::string location = c.toPlainHttp ? server.Url(target) : server.NamedSecureUrl(target);
  CDownloader downloader(&callback, 5, 0, 0, net::TlsPolicy{c.verify});
  Download(downloader, server.NamedSecureUrl("status?codes=302&location=" + net_testing::QueryValue(location)));
  EXPECT_EQ(downloader.succeeded, c.follows);
  EXPECT_EQ(downloader.GetContent(), c.follows ? "final" : "");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), c.follows ? 2u : 1u);
  if (c.follows) {
    EXPECT_EQ(requests[1].target, server.Path(target));
  }
}

INSTANTIATE_TEST_SUITE_P(Redirects, RedirectDowngradeTest,
                         testing::Values(DowngradeCase{"CheckedToHttpRefused", true, true, false},
                                         DowngradeCase{"UncheckedToHttpFollowed", false, true, true},
                                         DowngradeCase{"CheckedToHttpsFollowed", true, false, true}),
                         [](const testing::TestParamInfo<DowngradeCase>& info) { return info.param.name; });

// A server that sends the header and then nothing, or a byte every two seconds, fails
// the attempt once the stall limit (shortened here) runs out, and the retry goes on.
struct StallCase {
  const char* name;
  std::string query;  // for the "ranged" action: the first answer stalls, the second does not
};

void PrintTo(const StallCase& c, std::ostream* out) { *out << c.name; }

class StallTest : public DownloaderTest, public testing::WithParamInterface<StallCase> {};

TEST_P(StallTest, AStalledAttemptFailsAndIsRetried) {
  net::SetLowSpeedTimeForTesting(2);
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, 5, 1, 0);
  downloader.Start(server.Url("ranged?size=30&etag=v1&" + GetParam().query), file, "");
  ASSERT_TRUE(WaitUntilFinished(downloader, 25s));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(ReadFile(file), PatternBytes(30));
  EXPECT_EQ(server.Requests().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Servers, StallTest,
                         testing::Values(StallCase{"SilentAfterTheHeader", "stall=30000,0"},
                                         StallCase{"Dripping", "chunk=1,100000&pause=2000,0"}),
                         [](const testing::TestParamInfo<StallCase>& info) { return info.param.name; });

// A memory-mode body may be 4 MiB long, announced or not; one byte more fails the
// attempt, and every retry fails alike. File mode has no such cap.
struct BodyCapCase {
  const char* name;
  std::size_t size;
  bool chunked;
  bool fileMode;
  bool succeeds;
};

void PrintTo(const BodyCapCase& c, std::ostream* out) { *out << c.name; }

class BodyCapTest : public DownloaderTest, public testing::WithParamInterface<BodyCapCase> {};

TEST_P(BodyCapTest, MemoryModeTakesAtMostFourMiB) {
  const BodyCapCase c = GetParam();
  const std::string file = c.fileMode ? temp.Narrow("body.bin") : "";
  CDownloader downloader(&callback, 5, 2, 0);
  Download(downloader, server.Url("pattern?size=" + std::to_string(c.size) + (c.chunked ? "&chunked=1" : "")), file);
  EXPECT_EQ(downloader.succeeded, c.succeeds);
  EXPECT_EQ(server.Requests().size(), c.succeeds ? 1u : 3u);
  if (c.succeeds) {
    // Compared as a whole, so that a mismatch does not print megabytes.
    EXPECT_TRUE((c.fileMode ? ReadFile(file) : downloader.GetContent()) == PatternBytes(c.size));
  }
}

constexpr std::size_t kCap = CDownloader::kMaxMemoryBody;

INSTANTIATE_TEST_SUITE_P(Sizes, BodyCapTest,
                         testing::Values(BodyCapCase{"Exactly", kCap, false, false, true},
                                         BodyCapCase{"OneOver", kCap + 1, false, false, false},
                                         BodyCapCase{"ExactlyUnannounced", kCap, true, false, true},
                                         BodyCapCase{"OneOverUnannounced", kCap + 1, true, false, false},
                                         BodyCapCase{"OneOverIntoAFile", kCap + 1, false, true, true}));

TEST_F(DownloaderTest, KnownLengthProgressMovesInWholePercentAndEndsAt100) {
  constexpr std::size_t kSize = 2600;
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("pattern?size=2600&chunk=26&pause=2"));
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.progress, 1.0);

  const auto steps = callback.Steps();
  ASSERT_GE(steps.size(), 2u);
  double previous = 0.0;
  for (const ProgressStep& step : steps) {
    EXPECT_GT(step.value, previous) << "one notification per change of whole percent";
    EXPECT_EQ(step.value, std::round(step.value * 100) / 100) << "whole percent";
    EXPECT_LE(step.value, static_cast<double>(step.bytesHeld) / kSize) << "never ahead of the bytes received";
    previous = step.value;
  }
  EXPECT_EQ(steps.back().value, 1.0);
  EXPECT_EQ(steps.back().bytesHeld, kSize) << "1.00 only once the last byte is there";
}

TEST_F(DownloaderTest, UnknownLengthLeavesProgressAtZero) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("pattern?size=5000&chunk=500&pause=5&chunked=1"));
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.GetContent(), PatternBytes(5000));
  EXPECT_EQ(downloader.progress, 0.0);
  EXPECT_TRUE(callback.Steps().empty());
}

TEST_F(DownloaderTest, WithoutCallbackProgressNeverMoves) {
  CDownloader downloader(nullptr, 5, 0, 0);
  Download(downloader, server.Url("pattern?size=2600&chunk=260&pause=2"));
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.progress, 0.0);
}

TEST_F(DownloaderTest, EmptyBodySucceedsInBothModes) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("status?codes=200&body="));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.GetContent(), "");

  const std::string file = temp.Narrow("empty.bin");
  WriteFile(file, "old content");
  Download(downloader, server.Url("status?codes=200&body="), file);
  EXPECT_TRUE(downloader.succeeded);
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

struct PostCase {
  std::string postData;
  std::string method;
};

void PrintTo(const PostCase& c, std::ostream* out) { *out << c.method; }

class PostTest : public DownloaderTest, public testing::WithParamInterface<PostCase> {};

TEST_P(PostTest, PostDataSelectsPostAndIsSentExactly) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("status"), "", GetParam().postData);
  EXPECT_TRUE(downloader.succeeded);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, GetParam().method);
  EXPECT_EQ(requests[0].body, GetParam().postData);
  EXPECT_EQ(requests[0].userAgent, "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.2)");
}

INSTANTIATE_TEST_SUITE_P(Bodies, PostTest,
                         testing::Values(PostCase{"", "GET"}, PostCase{"a=1&b=two words\x01\xff", "POST"}));

TEST_F(DownloaderTest, HttpsWithSelfSignedCertificateForAnotherHostProceeds) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.SecureUrl("status?body=secret"));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.GetContent(), "secret");

  const std::string file = temp.Narrow("secure.bin");
  Download(downloader, server.SecureUrl("pattern?size=70000"), file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(ReadFile(file), PatternBytes(70000));
}

// With checks on, a certificate counts only when an authority the launcher trusts made
// it for the host asked for: the system's authorities, or in a test only the file it names.
enum class Trust { System, NamedCertificate, OtherHostCertificate };

struct TlsCase {
  const char* name;
  bool namedServer;  // the server whose certificate names 127.0.0.1, or the other one
  bool verify;
  Trust trust;
  bool succeeds;
};

void PrintTo(const TlsCase& c, std::ostream* out) { *out << c.name; }

class TlsTest : public DownloaderTest, public testing::WithParamInterface<TlsCase> {};

TEST_P(TlsTest, ChecksCertificatesOnlyWhenAsked) {
  const TlsCase& c = GetParam();
  if (c.verify && c.trust == Trust::System && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's Schannel accepts every certificate; a Windows system store refuses these";
  }
  if (c.trust == Trust::NamedCertificate) net::TrustOnlyCaFileForTesting(net_testing::NamedSecureCertificateFile());
  if (c.trust == Trust::OtherHostCertificate) net::TrustOnlyCaFileForTesting(net_testing::SecureCertificateFile());
  CDownloader downloader(&callback, 5, 0, 0, net::TlsPolicy{c.verify});
  const std::string action = "status?body=secret";
  Download(downloader, c.namedServer ? server.NamedSecureUrl(action) : server.SecureUrl(action));
  EXPECT_EQ(downloader.succeeded, c.succeeds);
  EXPECT_EQ(downloader.GetContent(), c.succeeds ? "secret" : "");
  // A refused certificate ends the connection before any request is sent.
  EXPECT_EQ(server.Requests().size(), c.succeeds ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsTest,
    testing::Values(TlsCase{"UncheckedSelfSigned", true, false, Trust::System, true},
                    TlsCase{"UncheckedUntrustedAuthority", true, false, Trust::OtherHostCertificate, true},
                    TlsCase{"SelfSignedRefusedByTheSystem", true, true, Trust::System, false},
                    TlsCase{"AnotherHostRefusedByTheSystem", false, true, Trust::System, false},
                    TlsCase{"Trusted", true, true, Trust::NamedCertificate, true},
                    TlsCase{"TrustedButForAnotherHost", false, true, Trust::OtherHostCertificate, false},
                    TlsCase{"UntrustedAuthority", true, true, Trust::OtherHostCertificate, false}),
    [](const testing::TestParamInfo<TlsCase>& info) { return info.param.name; });

// The choice holds for file downloads and for every attempt: a refused certificate is a
// failed attempt like any other, retried, and no part is left behind.
TEST_F(DownloaderTest, RefusedCertificateFailsEveryAttemptOfAFileDownload) {
  CDownloader downloader(&callback, 5, 2, 0, net::TlsPolicy{true});
  const std::string file = temp.Narrow("secure.bin");
  net::TrustOnlyCaFileForTesting(net_testing::SecureCertificateFile());
  Download(downloader, server.NamedSecureUrl("pattern?size=70000"), file);
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_EQ(callback.FinishedResults(), std::vector<bool>{false});
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(std::filesystem::exists(file + ".part"));

  net::TrustOnlyCaFileForTesting(net_testing::NamedSecureCertificateFile());
  Download(downloader, server.NamedSecureUrl("pattern?size=70000"), file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(ReadFile(file), PatternBytes(70000));
}

TEST_F(DownloaderTest, ConnectTimeoutEndsAnAttempt) {
  CDownloader downloader(&callback, 1, 0, 0);
  const auto elapsed = TimeOf([&] { Download(downloader, net_testing::BlackHoleUrl()); });
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_GE(elapsed, 900ms);
  EXPECT_LT(elapsed, 1s + kPromptly);
}

TEST_F(DownloaderTest, StartWhileRunningCancelsAndJoinsTheOldWorker) {
  CDownloader downloader(&callback, 5, 0, 0);
  downloader.Start(server.Url("hold?stall=body"), "", "");
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_LT(TimeOf([&] { downloader.Start(server.Url("status?body=second"), "", ""); }), kPromptly);
  ASSERT_TRUE(WaitUntilFinished(downloader));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.GetContent(), "second");
  // The old worker still reported its (failed) end.
  EXPECT_EQ(callback.FinishedResults(), (std::vector<bool>{false, true}));
}

// Stop returns promptly in every state of a transfer, however long the connect timeout
// and the retry delay are.
struct StopCase {
  const char* name;
  std::string (*url)(const ServerSession&);
  bool waitForRequest;
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class PromptStopTest : public DownloaderTest, public testing::WithParamInterface<StopCase> {};

TEST_P(PromptStopTest, StopReturnsWithinAboutASecond) {
  const StopCase c = GetParam();
  CDownloader downloader(&callback, 60, 3, 60);
  downloader.Start(c.url(server), "", "");
  if (c.waitForRequest) {
    ASSERT_TRUE(server.WaitForRequests(1));
  }
  // Into the state: connecting, waiting for data, receiving, or pausing before a retry.
  std::this_thread::sleep_for(300ms);
  ASSERT_FALSE(downloader.finished);

  EXPECT_LT(TimeOf([&] { downloader.Stop(); }), kPromptly);
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_EQ(callback.FinishedResults(), std::vector<bool>{false});
  if (c.waitForRequest) {
    EXPECT_EQ(server.Requests().size(), 1u) << "no attempt after the cancel";
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, PromptStopTest,
    testing::Values(StopCase{"Connecting", [](const ServerSession&) { return net_testing::BlackHoleUrl(); }, false},
                    StopCase{"NoAnswer", [](const ServerSession& s) { return s.Url("hold?stall=head"); }, true},
                    StopCase{"StalledBody", [](const ServerSession& s) { return s.Url("hold?stall=body"); }, true},
                    StopCase{"Receiving",
                             [](const ServerSession& s) { return s.Url("pattern?size=100000000&chunk=1000&pause=5"); },
                             true},
                    StopCase{"RetryPause", [](const ServerSession& s) { return s.Url("status?codes=404"); }, true},
                    StopCase{"SecureNoAnswer", [](const ServerSession& s) { return s.SecureUrl("hold"); }, true}));

// An output file that cannot be opened or written fails the attempt: the bytes are not
// silently lost.
struct FileFaultCase {
  const char* name;
  const char* file;  // below the test's folder
  platform::fault::Op fault;
  bool injected;
  std::size_t bodySize;  // more than the downloader buffers, or less
};

void PrintTo(const FileFaultCase& c, std::ostream* out) { *out << c.name; }

class FileFaultTest : public DownloaderTest, public testing::WithParamInterface<FileFaultCase> {};

TEST_P(FileFaultTest, FailsTheDownload) {
  const FileFaultCase c = GetParam();
  std::filesystem::create_directories(temp.path() / "folder");
  if (c.injected) platform::fault::Inject(c.fault, "out.bin");
  CDownloader downloader(&callback, 5, 1, 0);
  Download(downloader, server.Url("pattern?size=" + std::to_string(c.bodySize)), temp.Narrow(c.file));
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_EQ(callback.FinishedResults(), std::vector<bool>{false});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FileFaultTest,
    testing::Values(FileFaultCase{"MissingFolder", "missing/out.bin", platform::fault::Op::Create, false, 1000},
                    FileFaultCase{"PathIsAFolder", "folder", platform::fault::Op::Create, false, 1000},
                    FileFaultCase{"CannotCreate", "out.bin", platform::fault::Op::Create, true, 1000},
                    FileFaultCase{"DiskFull", "out.bin", platform::fault::Op::Write, true, 3000000},
                    FileFaultCase{"DiskFullSmallBody", "out.bin", platform::fault::Op::Write, true, 1000}));

TEST_F(DownloaderTest, DestroyingTheLastDownloaderMidTransferJoinsThenCleansUp) {
  auto downloader = std::make_unique<CDownloader>(&callback, 5, 0, 0);
  downloader->Start(server.Url("hold?stall=body"), temp.Narrow("partial.bin"), "");
  // Mid-transfer: the first body bytes are in the part (a cancel before them leaves none).
  const auto deadline = Clock::now() + 10s;
  while (downloader->bytesDone < 10 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(downloader->bytesDone, 10);
  EXPECT_LT(TimeOf([&] { downloader.reset(); }), kPromptly);
  // The worker ended (and said so) before the destructor returned.
  EXPECT_EQ(callback.FinishedResults(), std::vector<bool>{false});
  // The part was closed: it can be replaced.
  EXPECT_TRUE(std::filesystem::remove(temp.path() / "partial.bin.part"));

  // libcurl was cleaned up with the last downloader; a new one sets it up again.
  CDownloader next(&callback, 5, 0, 0);
  Download(next, server.SecureUrl("status?body=again"));
  EXPECT_TRUE(next.succeeded);
  EXPECT_EQ(next.GetContent(), "again");
}

// With no thread to be had, Start fails at once (a stale success of the run before
// included) and a later Start works again.
TEST_F(DownloaderTest, StartWithoutAThreadFailsAtOnceAndLeavesTheDownloaderUsable) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("status?body=first"));
  ASSERT_TRUE(downloader.succeeded);

  CDownloader::FailThreadStartsForTesting(1);
  downloader.Start(server.Url("status?body=lost"), "", "");
  EXPECT_TRUE(downloader.finished);
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_EQ(callback.FinishedResults(), (std::vector<bool>{true, false}));

  Download(downloader, server.Url("status?body=third"));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.GetContent(), "third");
  EXPECT_EQ(server.Requests().size(), 2u);
}

// The owner's notifications throwing (out of memory, say) fail the transfer; the
// exceptions cross neither libcurl nor the thread's end.
class ThrowingCallback : public RecordingCallback {
 public:
  void OnDownloadFinished(CDownloader* downloader) override {
    RecordingCallback::OnDownloadFinished(downloader);
    throw std::runtime_error("owner failed");
  }
  void OnDownloadProgress(CDownloader*) override { throw std::bad_alloc(); }
};

TEST_F(DownloaderTest, ThrowingNotificationsFailTheTransferAndTheRunStillFinishes) {
  ThrowingCallback throwing;
  CDownloader downloader(&throwing, 5, 0, 0);
  Download(downloader, server.Url("pattern?size=2600&chunk=260&pause=2"));
  EXPECT_FALSE(downloader.succeeded);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(throwing.FinishedResults(), std::vector<bool>{false});
}

TEST_F(DownloaderTest, ReusableAfterFailureAndAfterStop) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, net_testing::ClosedPortUrl());
  EXPECT_FALSE(downloader.succeeded);
  downloader.Start(server.Url("hold"), "", "");
  ASSERT_TRUE(server.WaitForRequests(1));
  downloader.Stop();
  Download(downloader, server.Url("status?body=ok"));
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.GetContent(), "ok");
}

// What a display of sizes and speed reads while the worker runs: a resumed body counts
// the bytes kept from before, so no count goes back, and the counts end at the size.
TEST_F(DownloaderTest, ByteCountsIncludeTheBytesKeptAndEndAtTheWholeSize) {
  const std::string file = temp.Narrow("package.zip");
  const std::string url = server.Url("ranged?size=100000&etag=v1&chunk=10000&pause=5&cut=60000,-");
  {
    CDownloader earlier(&callback, 5, 0, 0);
    Download(earlier, url, file);
    ASSERT_FALSE(earlier.succeeded);
  }
  CDownloader downloader(&callback, 5, 0, 0);
  downloader.Start(url, file, "");
  std::vector<std::int64_t> seen;
  const auto deadline = Clock::now() + 15s;
  while (!downloader.finished && Clock::now() < deadline) {
    seen.push_back(downloader.bytesDone);
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.bytesDone, 100000);
  EXPECT_EQ(downloader.bytesTotal, 100000);
  std::int64_t previous = 0;
  for (const std::int64_t bytes : seen) {
    if (bytes == 0) continue;
    EXPECT_GE(bytes, 60000) << "the bytes kept from before count from the start";
    EXPECT_GE(bytes, previous);
    previous = bytes;
  }
}

TEST_F(DownloaderTest, ByteCountsWithoutAKnownLengthHaveNoTotal) {
  CDownloader downloader(&callback, 5, 0, 0);
  Download(downloader, server.Url("pattern?size=5000&chunk=500&pause=5&chunked=1"));
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_EQ(downloader.bytesDone, 5000);
  EXPECT_EQ(downloader.bytesTotal, -1);
}

// The package's further addresses are tried in order for a request that failed, with
// no pause between them; the pause comes after the last one. They hold for the next
// Start only.
struct MirrorCase {
  const char* name;
  std::vector<std::string> actions;  // "" for a port that refuses connections
  bool succeeds;
  std::size_t requests;  // that reached the server
};

void PrintTo(const MirrorCase& c, std::ostream* out) { *out << c.name; }

class MirrorTest : public DownloaderTest, public testing::WithParamInterface<MirrorCase> {};

TEST_P(MirrorTest, TriesTheAddressesInOrder) {
  const MirrorCase& c = GetParam();
  std::vector<std::string> urls;
  for (const std::string& action : c.actions) {
    urls.push_back(action.empty() ? net_testing::ClosedPortUrl() : server.Url(action));
  }
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, 5, 1, 0);
  downloader.SetExpected(100000, Sha256Of(PatternBytes(100000)));
  downloader.SetMirrors({urls.begin() + 1, urls.end()});
  Download(downloader, urls.front(), file);
  EXPECT_EQ(downloader.succeeded, c.succeeds);
  if (c.succeeds) {
    EXPECT_TRUE(ReadFile(file) == PatternBytes(100000));
  }
  EXPECT_EQ(server.Requests().size(), c.requests);

  // The next Start has no mirrors of its own.
  downloader.SetExpected(100000, Sha256Of(PatternBytes(100000)));
  Download(downloader, urls.front(), temp.Narrow("again.zip"));
  EXPECT_FALSE(downloader.succeeded);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, MirrorTest,
    testing::Values(MirrorCase{"FirstRefusesTheConnection", {"", "ranged?size=100000&etag=v1"}, true, 1},
                    MirrorCase{"FirstAnswersAnError", {"status?codes=404", "ranged?size=100000&etag=v1"}, true, 2},
                    MirrorCase{"FirstSendsOtherContent", {"pattern?size=100001", "ranged?size=100000"}, true, 2},
                    MirrorCase{"AllFailTwice", {"", "status?codes=503"}, false, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// MaxDownloadRate: a megabyte at 256 KiB/s takes about four seconds (a lower bound only:
// a loaded machine makes it slower, never faster).
TEST_F(DownloaderTest, TheRateCapSlowsTheDownload) {
  CDownloader downloader(&callback, net::TransferSettings{5, 0, 0, {}, 6, 256 * 1024});
  const auto elapsed = TimeOf([&] { Download(downloader, server.Url("pattern?size=1000000"), temp.Narrow("f")); });
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_GT(elapsed, 2s);
}

}  // namespace

namespace segmented {

// Large enough to be split into four ranges of 1 MiB.
constexpr std::size_t kSize = 4 * 1024 * 1024;
constexpr std::size_t kQuarter = kSize / 4;

net::TransferSettings Connections(int connections, int retries = 2) {
  return net::TransferSettings{5, retries, 0, {}, connections, 0};
}

std::vector<std::string> RangesOf(const std::vector<net_testing::LoggedRequest>& requests) {
  std::vector<std::string> ranges;
  for (const auto& request : requests) ranges.push_back(request.range);
  return ranges;
}

std::string Range(std::size_t first, std::size_t end) {
  return "bytes=" + std::to_string(first) + "-" + std::to_string(end - 1);
}

// With a strong ETag and ranges served, a large file comes as one range per connection,
// each under If-Range; anything that puts the content in doubt makes it one transfer.
struct SegmentedCase {
  const char* name;
  std::string query;  // added to "ranged?"
  int connections;
  std::size_t size;   // of the content the download ends with
  bool split;         // ranges were asked for
  // Requests for the whole content: the first, and the one that starts over. (The
  // server may log a range request that was already on its way after the latter.)
  std::size_t wholeRequests;
};

void PrintTo(const SegmentedCase& c, std::ostream* out) { *out << c.name; }

class SegmentedTest : public DownloaderTest, public testing::WithParamInterface<SegmentedCase> {};

TEST_P(SegmentedTest, FileIsWholeAndOfOneContent) {
  const SegmentedCase c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, Connections(c.connections));
  if (c.size == kSize) downloader.SetExpected(kSize, Sha256Of(PatternBytes(kSize)));
  Download(downloader, server.Url("ranged?" + c.query), file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(c.size));
  EXPECT_FALSE(std::filesystem::exists(PartOf(file)));
  EXPECT_FALSE(std::filesystem::exists(RecordOf(file)));
  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front().range, "");
  bool split = false;
  std::size_t whole = 0;
  for (const auto& request : requests) {
    if (request.range.empty()) {
      ++whole;
      continue;
    }
    split = true;
    EXPECT_EQ(request.ifRange, "\"v1\"");
  }
  EXPECT_EQ(split, c.split);
  EXPECT_EQ(whole, c.wholeRequests);
  EXPECT_EQ(downloader.bytesDone, static_cast<std::int64_t>(c.size));
}

INSTANTIATE_TEST_SUITE_P(
    Segments, SegmentedTest,
    testing::Values(
        SegmentedCase{"OneRangePerConnection", "size=4194304&etag=v1", 4, kSize, true, 1},
        SegmentedCase{"RangeAnsweredWholeFallsBack", "size=4194304&etag=v1&ranges=1,0", 4, kSize, true, 2},
        SegmentedCase{"ContentChangedStartsOver", "size=4194304,3145728&etag=v1,v2", 4, 3145728, true, 2},
        SegmentedCase{"WeakEtagIsOneTransfer", "size=4194304&etag=W/v1", 4, kSize, false, 1},
        SegmentedCase{"LastModifiedAloneIsOneTransfer", "size=4194304&modified=1", 4, kSize, false, 1},
        SegmentedCase{"NoRangesIsOneTransfer", "size=4194304&etag=v1&ranges=0", 4, kSize, false, 1},
        SegmentedCase{"OneConnectionIsOneTransfer", "size=4194304&etag=v1", 1, kSize, false, 1}));

TEST_F(DownloaderTest, SegmentsAreOneRangePerConnection) {
  CDownloader downloader(&callback, Connections(4));
  Download(downloader, server.Url("ranged?size=4194304&etag=v1"), temp.Narrow("package.zip"));
  ASSERT_TRUE(downloader.succeeded);
  auto ranges = RangesOf(server.Requests());
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{"", Range(kQuarter, 2 * kQuarter), Range(2 * kQuarter, 3 * kQuarter),
                                              Range(3 * kQuarter, kSize)}));
}

// A cut segment keeps what arrived: its next request asks for the rest of its range.
TEST_F(DownloaderTest, ACutSegmentAsksForItsRest) {
  const std::string file = temp.Narrow("package.zip");
  CDownloader downloader(&callback, Connections(4));
  downloader.SetExpected(kSize, Sha256Of(PatternBytes(kSize)));
  Download(downloader, server.Url("ranged?size=4194304&etag=v1&cut=-,300000,-"), file);
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(kSize));
  const auto ranges = RangesOf(server.Requests());
  ASSERT_EQ(ranges.size(), 5u);
  // The requests of a run reach the server in any order: the rest is the one range
  // that does not start where a quarter does.
  std::vector<std::string> rests;
  for (const std::string& range : ranges) {
    if (!range.empty() && std::stoul(range.substr(std::string("bytes=").size())) % kQuarter != 0) {
      rests.push_back(range);
    }
  }
  ASSERT_EQ(rests.size(), 1u);
  const std::size_t first = std::stoul(rests[0].substr(std::string("bytes=").size())) - 300000;
  EXPECT_EQ(first % kQuarter, 0u);
  EXPECT_EQ(rests[0], Range(first + 300000, first + kQuarter));
}

// A run that ends with segments missing leaves a record of the spans it holds; a new
// downloader asks for those spans only.
TEST_F(DownloaderTest, ALaterRunAsksOnlyForTheMissingSpans) {
  const std::string file = temp.Narrow("package.zip");
  const std::string url = server.Url("ranged?size=4194304&etag=v1&cut=-,500000,500000,500000,-");
  {
    CDownloader earlier(&callback, Connections(4, 0));
    Download(earlier, url, file);
    ASSERT_FALSE(earlier.succeeded);
  }
  ASSERT_TRUE(std::filesystem::exists(RecordOf(file)));
  const std::size_t before = server.Requests().size();
  ASSERT_EQ(before, 4u);

  CDownloader downloader(&callback, Connections(4));
  downloader.SetExpected(kSize, Sha256Of(PatternBytes(kSize)));
  Download(downloader, url, file);
  ASSERT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(kSize));
  const auto all = server.Requests();
  const std::vector<net_testing::LoggedRequest> later(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  auto ranges = RangesOf(later);
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, (std::vector<std::string>{Range(kQuarter + 500000, 2 * kQuarter),
                                              Range(2 * kQuarter + 500000, 3 * kQuarter),
                                              Range(3 * kQuarter + 500000, kSize)}));
  EXPECT_EQ(BytesSent(later), 3 * (kQuarter - 500000));
}

// What a part and its record say on disk when a run starts: a record of the form before
// segments (a prefix) resumes from its end; one whose spans do not fit the part or the
// body is refused, and the download starts over.
struct EarlierRecordCase {
  const char* name;
  std::size_t partSize;
  std::string spans;  // the record's "Spans" member; empty: none
  std::string firstRange;
};

void PrintTo(const EarlierRecordCase& c, std::ostream* out) { *out << c.name; }

class EarlierRecordTest : public DownloaderTest, public testing::WithParamInterface<EarlierRecordCase> {};

TEST_P(EarlierRecordTest, ResumesWhatTheRecordTrulyHolds) {
  const EarlierRecordCase c = GetParam();
  const std::string file = temp.Narrow("package.zip");
  const std::string url = server.Url("ranged?size=4194304&etag=v1");
  WriteFile(temp.path() / "package.zip.part", PatternBytes(c.partSize));
  std::string record = R"({"Url": ")" + url + R"(", "Validator": "\"v1\"")";
  if (!c.spans.empty()) record += R"(, "Size": 4194304, "Spans": )" + c.spans;
  WriteFile(temp.path() / "package.zip.part.json", record + "}");
  CDownloader downloader(&callback, Connections(4));
  downloader.SetExpected(kSize, Sha256Of(PatternBytes(kSize)));
  Download(downloader, url, file);
  EXPECT_TRUE(downloader.succeeded);
  EXPECT_TRUE(ReadFile(file) == PatternBytes(kSize));
  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front().range, c.firstRange);
}

INSTANTIATE_TEST_SUITE_P(
    Records, EarlierRecordTest,
    testing::Values(EarlierRecordCase{"PrefixForm", 1500000, "", "bytes=1500000-"},
                    EarlierRecordCase{"Spans", 4194304, "[[0, 4000000]]", Range(4000000, kSize)},
                    EarlierRecordCase{"SpanBeyondTheSize", 4194304, "[[0, 5000000]]", ""},
                    EarlierRecordCase{"PartShorterThanItsSpans", 1000, "[[0, 4000000]]", ""},
                    EarlierRecordCase{"OverlappingSpans", 4194304, "[[0, 20], [10, 30]]", ""}));

}  // namespace segmented
