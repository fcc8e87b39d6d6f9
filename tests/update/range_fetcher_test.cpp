#include "update/range_fetcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "net/downloader.h"
#include "net/request_options.h"
#include "temp_folder.h"

namespace {

using namespace std::chrono_literals;
using net_testing::PatternBytes;
using net_testing::ServerSession;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

bool WaitUntilFinished(const CRangeFetcher& fetcher, std::chrono::seconds timeout = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fetcher.finished) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string Piece(const TempFolder& folder, std::uint64_t offset) {
  return ReadFile(update::PiecePath(folder.Narrow(), offset));
}

// The bytes of all pieces in the folder, one after the other.
std::string AllPieces(const TempFolder& folder) {
  std::string bytes;
  for (const update::ByteRange& piece : update::HeldPieces(folder.Narrow())) bytes += Piece(folder, piece.offset);
  return bytes;
}

TEST(RangeFetcherTail, AsksForTheLastBytesAndLearnsTheSizeAndValidator) {
  ServerSession server;
  CRangeFetcher fetcher(nullptr, 5, 0, 0);
  fetcher.StartTail(server.Url("ranged?size=100000&etag=v1"), 300);
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  EXPECT_FALSE(fetcher.rangesRefused());
  EXPECT_EQ(fetcher.totalSize(), 100000u);
  EXPECT_EQ(fetcher.tailOffset(), 99700u);
  EXPECT_EQ(fetcher.tail(), PatternBytes(100000).substr(99700));
  EXPECT_EQ(fetcher.validator(), "\"v1\"");
  EXPECT_EQ(server.Requests().at(0).range, "bytes=-300");
}

TEST(RangeFetcherTail, AResourceShorterThanTheTailComesWhole) {
  ServerSession server;
  CRangeFetcher fetcher(nullptr, 5, 0, 0);
  fetcher.StartTail(server.Url("ranged?size=200&etag=v1"), 300);
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  EXPECT_EQ(fetcher.totalSize(), 200u);
  EXPECT_EQ(fetcher.tailOffset(), 0u);
  EXPECT_EQ(fetcher.tail(), PatternBytes(200));
}

// A partial answer for other bytes than the last 300 of the resource, or one whose
// validator could not go into a header, ends the run at once: the directory would be
// read from the wrong place.
struct TailRefusedCase {
  const char* name;
  std::string query;  // added to "ranged?size=100000&"
};

void PrintTo(const TailRefusedCase& c, std::ostream* out) { *out << c.name; }

class RangeFetcherTailRefused : public testing::TestWithParam<TailRefusedCase> {};

TEST_P(RangeFetcherTailRefused, FailsAtOnceAndKeepsNothing) {
  ServerSession server;
  CRangeFetcher fetcher(nullptr, 5, 2, 0);
  fetcher.StartTail(server.Url("ranged?size=100000&" + GetParam().query), 300);
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  EXPECT_FALSE(fetcher.succeeded);
  EXPECT_TRUE(fetcher.answerRefused());
  EXPECT_FALSE(fetcher.rangesRefused());
  EXPECT_TRUE(fetcher.tail().empty());
  EXPECT_EQ(server.Requests().size(), 1u) << "a refusal is no failure to retry";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RangeFetcherTailRefused,
    testing::Values(TailRefusedCase{"ShiftedByOne", "etag=v1&content_range=bytes%2099699-99998/100000"},
                    TailRefusedCase{"OtherTotal", "etag=v1&content_range=bytes%2099700-99999/100001"},
                    TailRefusedCase{"NoContentRange", "etag=v1&content_range=none"},
                    TailRefusedCase{"ShorterBody", "etag=v1&extra=-1"},
                    TailRefusedCase{"LongerBody", "etag=v1&extra=1"},
                    TailRefusedCase{"ControlCharacterInTheEtag", "etag=v%0D1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RangeFetcherTail, AServerIgnoringRangesIsHungUpOnAndReported) {
  ServerSession server;
  CRangeFetcher fetcher(nullptr, 5, 2, 0);
  fetcher.StartTail(server.Url("ranged?size=8000000&etag=v1&ranges=0&chunk=10000&pause=2"), 300);
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  EXPECT_TRUE(fetcher.succeeded);
  EXPECT_TRUE(fetcher.rangesRefused());
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_EQ(server.Requests().size(), 1u) << "a refusal is no failure to retry";
  EXPECT_LT(server.Requests().at(0).bytesSent, 8000000u) << "the whole package was taken";
}

// The requests of a run go out together, so the server sees them in any order.
std::vector<std::string> SortedRanges(const std::vector<net_testing::LoggedRequest>& requests) {
  std::vector<std::string> ranges;
  for (const auto& request : requests) ranges.push_back(request.range);
  std::sort(ranges.begin(), ranges.end());
  return ranges;
}

TEST(RangeFetcher, FetchesEachMissingRangeIntoAPiece) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, 5, 0, 0);
  fetcher.Start(server.Url("ranged?size=100000&etag=v1"), "\"v1\"", 100000, {{10, 20}, {5000, 3000}},
                pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  const std::string all = PatternBytes(100000);
  EXPECT_EQ(Piece(pieces, 10), all.substr(10, 20));
  EXPECT_EQ(Piece(pieces, 5000), all.substr(5000, 3000));
  EXPECT_EQ(fetcher.progress, 1.0);
  const auto requests = server.Requests();
  EXPECT_EQ(SortedRanges(requests), (std::vector<std::string>{"bytes=10-29", "bytes=5000-7999"}));
  for (const auto& request : requests) EXPECT_EQ(request.ifRange, "\"v1\"");

  // What is held is not asked for again.
  fetcher.Start(server.Url("ranged?size=100000&etag=v1"), "\"v1\"", 100000, {{10, 20}, {5000, 3000}, {9000, 10}},
                pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  ASSERT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.Requests()[2].range, "bytes=9000-9009");
}

TEST(RangeFetcher, ACutAnswerKeepsWhatCameAndTheRetryAsksForTheRest) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, 5, 1, 0);
  fetcher.Start(server.Url("ranged?size=100000&etag=v1&cut=1000,-"), "\"v1\"", 100000, {{2000, 5000}},
                pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  const std::string all = PatternBytes(100000);
  EXPECT_EQ(Piece(pieces, 2000), all.substr(2000, 1000));
  EXPECT_EQ(Piece(pieces, 3000), all.substr(3000, 4000));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=3000-6999");
}

struct RefusedCase {
  const char* name;
  std::string query;
  std::uint64_t totalSize;
  bool answerRefused;  // or else the whole resource came (rangesRefused)
};

void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class RangeFetcherRefused : public testing::TestWithParam<RefusedCase> {};

// A package that changed since its directory was read, or an answer for other bytes,
// fails the run at once and leaves nothing of that answer (the range is long enough for
// some of it to reach the disk before the end shows it wrong); a piece from before stays.
TEST_P(RangeFetcherRefused, AnAnswerForOtherBytesFailsAtOnceAndKeepsNothing) {
  const RefusedCase& c = GetParam();
  ServerSession server;
  TempFolder pieces;
  WriteFile(pieces.path() / "0.piece", PatternBytes(100));
  CRangeFetcher fetcher(nullptr, 5, 2, 0);
  fetcher.Start(server.Url("ranged?" + c.query), "\"v1\"", c.totalSize, {{2000, 600000}}, pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  EXPECT_FALSE(fetcher.succeeded);
  EXPECT_EQ(fetcher.answerRefused(), c.answerRefused);
  EXPECT_EQ(fetcher.rangesRefused(), !c.answerRefused);
  EXPECT_EQ(server.Requests().size(), 1u) << "a refusal is no failure to retry";
  EXPECT_EQ(update::HeldPieces(pieces.Narrow()), (std::vector<update::ByteRange>{{0, 100}}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RangeFetcherRefused,
    testing::Values(
        RefusedCase{"Changed", "size=1000000&etag=v2", 1000000, false},
        RefusedCase{"IgnoresRanges", "size=1000000&etag=v1&ranges=0", 1000000, false},
        RefusedCase{"OtherStart", "size=1000000&etag=v1&shift=7", 1000000, true},
        RefusedCase{"OtherEnd", "size=1000000&etag=v1&content_range=bytes%202000-601998/1000000", 1000000, true},
        RefusedCase{"OtherSize", "size=1000001&etag=v1", 1000000, true},
        RefusedCase{"NoContentRange", "size=1000000&etag=v1&content_range=none", 1000000, true},
        RefusedCase{"OtherResource", "size=1000000&etag=v2&ifrange=0", 1000000, true},
        RefusedCase{"ShorterBody", "size=1000000&etag=v1&extra=-1", 1000000, true},
        RefusedCase{"LongerBody", "size=1000000&etag=v1&extra=1", 1000000, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A validator that would end the If-Range line and start another header never goes out.
TEST(RangeFetcher, AValidatorWithControlCharactersIsNeverSent) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, 5, 2, 0);
  fetcher.Start(server.Url("ranged?size=100000&etag=v1"), "\"v1\"\r\nX-Injected: 1", 100000, {{10, 20}},
                pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  EXPECT_FALSE(fetcher.succeeded);
  EXPECT_TRUE(fetcher.answerRefused());
  EXPECT_TRUE(server.Requests().empty());
}

// A server that sends the header and then nothing, or a byte every two seconds, fails
// the attempt once the stall limit (shortened here) runs out; the retry gets the rest.
struct StallCase {
  const char* name;
  std::string query;  // for the "ranged" action: the first answer stalls, the second does not
};

void PrintTo(const StallCase& c, std::ostream* out) { *out << c.name; }

class RangeFetcherStall : public testing::TestWithParam<StallCase> {
 protected:
  void SetUp() override { net::SetLowSpeedTimeForTesting(2); }
  void TearDown() override { net::SetLowSpeedTimeForTesting(0); }
};

TEST_P(RangeFetcherStall, AStalledAnswerFailsTheAttemptAndTheRetryGoesOn) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, 5, 1, 0);
  fetcher.Start(server.Url("ranged?size=100000&etag=v1&" + GetParam().query), "\"v1\"", 100000, {{2000, 30}},
                pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher, 25s));
  EXPECT_TRUE(fetcher.succeeded);
  EXPECT_EQ(AllPieces(pieces), PatternBytes(100000).substr(2000, 30));
  EXPECT_EQ(server.Requests().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Servers, RangeFetcherStall,
                         testing::Values(StallCase{"SilentAfterTheHeader", "stall=30000,0"},
                                         StallCase{"Dripping", "chunk=1,100000&pause=2000,0"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RangeFetcher, StopCancelsASlowAnswerPromptly) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, 5, 3, 1);
  fetcher.Start(server.Url("ranged?size=5000000&etag=v1&chunk=1000&pause=50"), "\"v1\"", 5000000,
                {{0, 5000000}}, pieces.Narrow());
  ASSERT_TRUE(server.WaitForRequests(1));
  const auto before = std::chrono::steady_clock::now();
  fetcher.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
  EXPECT_TRUE(fetcher.finished);
  EXPECT_FALSE(fetcher.succeeded);
}

// Given the pool of the downloader that made the version request, the fetcher's first
// request goes over that request's connection; without it, over a new one.
TEST(RangeFetcher, AFetcherSharingADownloadersPoolAsksOverItsConnection) {
  ServerSession server;
  for (const bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "shared" : "own");
    net::ConnectionPool pool;
    const net::TransferSettings settings{5, 0, 0, {}};
    CDownloaderCallback quiet;
    CDownloader downloader(&quiet, settings, &pool);
    downloader.Start(server.Url("pattern?size=100"), "", "");
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!downloader.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    downloader.Stop();
    ASSERT_TRUE(downloader.succeeded);
    CRangeFetcher fetcher(nullptr, settings, shared ? &pool : nullptr);
    fetcher.StartTail(server.Url("ranged?size=1000&etag=v1"), 100);
    ASSERT_TRUE(WaitUntilFinished(fetcher));
    ASSERT_TRUE(fetcher.succeeded);
    const auto requests = server.Requests();
    ASSERT_GE(requests.size(), 2u);
    const auto& version = requests[requests.size() - 2];
    const auto& tail = requests.back();
    EXPECT_EQ(version.clientPort == tail.clientPort, shared);
  }
}

// More ranges than connections: several ranges a request where the server answers them
// in parts (multipart/byteranges), in as few requests as their bytes allow; one range a
// request from the first answer that shows it does not (the whole package with the same
// validator, or a 501). Either way every piece arrives whole, each handed on as it
// completes.
struct ManyRangesCase {
  const char* name;
  std::string query;  // added to "ranged?size=SIZE&etag=v1&"
  std::size_t batches;  // requests for several ranges
  std::uint64_t rangeLength = 0;  // 0: ranges of a few KB
};

void PrintTo(const ManyRangesCase& c, std::ostream* out) { *out << c.name; }

class RangeFetcherManyRanges : public testing::TestWithParam<ManyRangesCase> {};

class CompletedPieces : public CRangeFetcherCallback {
 public:
  void OnPieceFetched(CRangeFetcher*, const update::ByteRange& piece) override { pieces.push_back(piece); }
  std::vector<update::ByteRange> pieces;
};

std::vector<update::ByteRange> SpreadRanges(std::size_t count, std::uint64_t length = 0) {
  std::vector<update::ByteRange> ranges;
  for (std::size_t i = 0; i < count; ++i) {
    ranges.push_back(length ? update::ByteRange{i * (length + 40000) + 7, length} : update::ByteRange{i * 40000 + 7, 1000 + i * 300});
  }
  return ranges;
}

TEST_P(RangeFetcherManyRanges, EveryPieceArrivesWhole) {
  const ManyRangesCase& c = GetParam();
  ServerSession server;
  TempFolder pieces;
  CompletedPieces completed;
  CRangeFetcher fetcher(&completed, net::TransferSettings{5, 1, 0, {}, 3, 0});
  const std::vector<update::ByteRange> ranges = SpreadRanges(20, c.rangeLength);
  const std::uint64_t size = ranges.back().offset + ranges.back().length + 1000;
  const std::string sizeText = std::to_string(size);
  fetcher.Start(server.Url("ranged?size=" + sizeText + "&etag=v1&" + c.query), "\"v1\"", size, ranges,
                pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  const std::string all = PatternBytes(size);
  std::string wanted;
  for (const update::ByteRange& range : ranges) wanted += all.substr(range.offset, range.length);
  // A cut part leaves a piece, and its rest another.
  EXPECT_TRUE(AllPieces(pieces) == wanted);
  EXPECT_TRUE(update::MissingRanges(ranges, update::HeldPieces(pieces.Narrow())).empty());
  std::sort(completed.pieces.begin(), completed.pieces.end(),
            [](const auto& a, const auto& b) { return a.offset < b.offset; });
  EXPECT_EQ(completed.pieces, update::HeldPieces(pieces.Narrow()));
  EXPECT_EQ(fetcher.progress, 1.0);
  const auto requests = server.Requests();
  const auto several = std::count_if(requests.begin(), requests.end(),
                                     [](const auto& r) { return r.range.find(',') != std::string::npos; });
  EXPECT_EQ(static_cast<std::size_t>(several), c.batches);
  const std::size_t single = requests.size() - c.batches;
  EXPECT_EQ(single, c.query.find("multi=1") == std::string::npos ? ranges.size() : 0u);
  for (const auto& request : requests) EXPECT_EQ(request.ifRange, "\"v1\"");
  EXPECT_EQ(fetcher.requestCount(), requests.size());
}

INSTANTIATE_TEST_SUITE_P(Servers, RangeFetcherManyRanges,
                         testing::Values(ManyRangesCase{"InParts", "multi=1", 1},
                                         ManyRangesCase{"WholeAnswer", "multi=0", 1},
                                         ManyRangesCase{"NotImplemented", "multi=501", 1},
                                         ManyRangesCase{"InPartsCut", "multi=1&cut=5000,-", 2},
                                         // 18 MB: a batch a connection
                                         ManyRangesCase{"LargeInParts", "multi=1", 3, 900000},
                                         ManyRangesCase{"LargeWholeAnswer", "multi=0", 3, 900000}),
                         [](const auto& info) { return std::string(info.param.name); });

// Ranges in flight together: one answer cut keeps what came and the retry fetches the
// rest; one refused (the package changed: a whole answer, or a part for other bytes)
// stops the run and keeps nothing of that answer.
struct InFlightCase {
  const char* name;
  std::string query;  // added to "ranged?size=1000000&"
  bool succeeds;
  bool rangesRefused;
};

void PrintTo(const InFlightCase& c, std::ostream* out) { *out << c.name; }

class RangeFetcherInFlight : public testing::TestWithParam<InFlightCase> {};

TEST_P(RangeFetcherInFlight, OneAnswerDecidesForItselfOrForTheRun) {
  const InFlightCase& c = GetParam();
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, net::TransferSettings{5, 1, 0, {}, 6, 0});
  const std::vector<update::ByteRange> ranges = SpreadRanges(4);
  fetcher.Start(server.Url("ranged?size=1000000&" + c.query), "\"v1\"", 1000000, ranges, pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  EXPECT_EQ(fetcher.succeeded, c.succeeds);
  EXPECT_EQ(fetcher.rangesRefused(), c.rangesRefused);
  EXPECT_EQ(fetcher.answerRefused(), !c.succeeds && !c.rangesRefused);
  const std::string all = PatternBytes(1000000);
  for (const update::ByteRange& held : update::HeldPieces(pieces.Narrow())) {
    EXPECT_EQ(Piece(pieces, held.offset), all.substr(held.offset, held.length)) << "other bytes kept";
  }
  if (c.succeeds) {
    EXPECT_EQ(AllPieces(pieces).size(), 1000u + 1300 + 1600 + 1900);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RangeFetcherInFlight,
    testing::Values(InFlightCase{"OneCut", "etag=v1&cut=500,-", true, false},
                    InFlightCase{"OneWhole", "etag=v1,v2,v1", false, true},
                    InFlightCase{"OneForOtherBytes", "etag=v1&extra=0,0,1,0", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Stop ends every range in flight at once, also while each waits for its answer.
TEST(RangeFetcher, StopCancelsEveryRangeInFlightPromptly) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, 5, 3, 1);
  fetcher.Start(server.Url("ranged?size=1000000&etag=v1&stall=30000"), "\"v1\"", 1000000, SpreadRanges(4),
                pieces.Narrow());
  ASSERT_TRUE(server.WaitForRequests(4));
  const auto before = std::chrono::steady_clock::now();
  fetcher.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
  EXPECT_TRUE(fetcher.finished);
  EXPECT_FALSE(fetcher.succeeded);
  EXPECT_TRUE(update::HeldPieces(pieces.Narrow()).empty());
}

// Further addresses of the package are tried in order for each request that failed.
struct MirrorCase {
  const char* name;
  std::vector<std::string> actions;  // "" for a port that refuses connections
  bool succeeds;
};

void PrintTo(const MirrorCase& c, std::ostream* out) { *out << c.name; }

class RangeFetcherMirrors : public testing::TestWithParam<MirrorCase> {};

TEST_P(RangeFetcherMirrors, TriesTheAddressesInOrder) {
  const MirrorCase& c = GetParam();
  ServerSession server;
  TempFolder pieces;
  std::vector<std::string> urls;
  for (const std::string& action : c.actions) {
    urls.push_back(action.empty() ? net_testing::ClosedPortUrl() : server.Url(action));
  }
  CRangeFetcher fetcher(nullptr, 5, 0, 0);
  fetcher.SetMirrors({urls.begin() + 1, urls.end()});
  fetcher.Start(urls.front(), "\"v1\"", 100000, {{10, 20}, {5000, 3000}}, pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  EXPECT_EQ(fetcher.succeeded, c.succeeds);
  if (c.succeeds) {
    EXPECT_EQ(AllPieces(pieces), PatternBytes(100000).substr(10, 20) + PatternBytes(8000).substr(5000));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, RangeFetcherMirrors,
    testing::Values(MirrorCase{"FirstRefusesTheConnection", {"", "ranged?size=100000&etag=v1"}, true},
                    MirrorCase{"FirstAnswersAnError", {"status?codes=503", "ranged?size=100000&etag=v1"}, true},
                    MirrorCase{"AllFail", {"", "status?codes=503"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The cap holds for all ranges together: four ranges of 256 KiB at 256 KiB/s take about
// four seconds, not the one second a cap for each would give.
TEST(RangeFetcher, TheRateCapHoldsForAllRangesTogether) {
  ServerSession server;
  TempFolder pieces;
  CRangeFetcher fetcher(nullptr, net::TransferSettings{5, 0, 0, {}, 6, 256 * 1024});
  std::vector<update::ByteRange> ranges;
  for (std::uint64_t i = 0; i < 4; ++i) ranges.push_back({i * 300000, 256 * 1024});
  const auto before = std::chrono::steady_clock::now();
  fetcher.Start(server.Url("ranged?size=1200000&etag=v1"), "\"v1\"", 1200000, ranges, pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher, 60s));
  EXPECT_TRUE(fetcher.succeeded);
  EXPECT_GT(std::chrono::steady_clock::now() - before, 2s);
}

// A real server (nginx, where installed) answers several ranges a request in parts,
// and over HTTP/2 where this build's libcurl speaks it.
TEST(RangeFetcher, ARealServerAnswersManyRangesInPartsOverHttp2WhereSpoken) {
  ServerSession server;
  TempFolder pieces;
  const std::string all = PatternBytes(1000000);
  server.Store("package.zip", all);
  const std::string url = server.NginxUrl("package.zip");
  if (url.empty()) GTEST_SKIP() << "no nginx on this machine";
  CRangeFetcher fetcher(nullptr, net::TransferSettings{5, 0, 0, {}, 3, 0});
  fetcher.StartTail(url, 300);
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  ASSERT_EQ(fetcher.totalSize(), 1000000u);
  const std::vector<update::ByteRange> ranges = SpreadRanges(20);
  fetcher.Start(url, fetcher.validator(), 1000000, ranges, pieces.Narrow());
  ASSERT_TRUE(WaitUntilFinished(fetcher));
  ASSERT_TRUE(fetcher.succeeded);
  std::string wanted;
  for (const update::ByteRange& range : ranges) wanted += all.substr(range.offset, range.length);
  EXPECT_TRUE(AllPieces(pieces) == wanted);
  const auto answers = server.NginxAnswers();
  ASSERT_EQ(answers.size(), 2u) << "the tail, then one request for all the ranges";
  for (const auto& answer : answers) {
    EXPECT_EQ(answer.protocol, net_testing::LibcurlSpeaksHttp2() ? "HTTP/2.0" : "HTTP/1.1");
    EXPECT_EQ(answer.status, 206);
  }
}

}  // namespace
