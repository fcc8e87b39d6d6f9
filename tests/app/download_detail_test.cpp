// The download detail: the DownloadDetail key, the text made from a download's figures,
// and the speed and time left measured from the bytes over time.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "app/download_detail.h"

namespace {

const platform::NumberFormat kEnglish{L".", L","};
const platform::NumberFormat kGerman{L",", L"."};

constexpr std::int64_t kDone = 312'400'000;
constexpr std::int64_t kTotal = 1'024'000'000;
constexpr double kRate = 18'200'000;

struct DetailCase {
  const char* name;
  const wchar_t* format;
  DownloadFigures figures;
  const wchar_t* expected;
  platform::NumberFormat numbers = kEnglish;
};
void PrintTo(const DetailCase& c, std::ostream* os) { *os << c.name; }

class DetailText : public testing::TestWithParam<DetailCase> {};

TEST_P(DetailText, ShowsWhatIsKnownAndLeavesOutTheRest) {
  const DetailCase& c = GetParam();
  EXPECT_EQ(FormatDownloadDetail(c.format, c.figures, c.numbers), c.expected);
}

const DetailCase kDetailCases[] = {
    {"EverythingKnown", kDefaultDownloadDetail, {kDone, kTotal, kRate, 40},
     L"312.4 / 1,024.0 MB · 18.2 MB/s · 40 s left"},
    {"UnknownTotal", kDefaultDownloadDetail, {kDone, -1, kRate, -1}, L"312.4 MB · 18.2 MB/s"},
    {"SpeedNotMeasuredYet", kDefaultDownloadDetail, {kDone, kTotal, -1, -1}, L"312.4 / 1,024.0 MB"},
    {"TimeLeftNotSteadyYet", kDefaultDownloadDetail, {kDone, kTotal, kRate, -1}, L"312.4 / 1,024.0 MB · 18.2 MB/s"},
    {"Stalled", kDefaultDownloadDetail, {kDone, kTotal, 0, -1}, L"312.4 / 1,024.0 MB · 0.0 MB/s"},
    {"SpeedNotANumber", kDefaultDownloadDetail, {kDone, kTotal, std::nan(""), -1}, L"312.4 / 1,024.0 MB"},
    {"SpeedInfinite", kDefaultDownloadDetail, {kDone, kTotal, std::numeric_limits<double>::infinity(), -1},
     L"312.4 / 1,024.0 MB"},
    {"NothingYet", kDefaultDownloadDetail, {0, -1, -1, -1}, L"0.0 MB"},
    {"EmptyPackage", kDefaultDownloadDetail, {0, 0, -1, -1}, L"0.0 / 0.0 MB"},
    {"RoundsToOneDecimal", kDefaultDownloadDetail, {1'049'999, 2'050'000, 49'999, -1}, L"1.0 / 2.1 MB · 0.0 MB/s"},
    {"RoundsUpIntoTheNextWhole", kDefaultDownloadDetail, {999'950, -1, 150'000'000, -1}, L"1.0 MB · 150.0 MB/s"},
    {"GroupsThousands", kDefaultDownloadDetail, {1'234'567'890'123, 98'765'432'109'876, 1'000'000'000, -1},
     L"1,234,567.9 / 98,765,432.1 MB · 1,000.0 MB/s"},
    {"PlayersLocale", kDefaultDownloadDetail, {kDone, kTotal, kRate, 40},
     L"312,4 / 1.024,0 MB · 18,2 MB/s · 40 s left", kGerman},
    // Times: seconds up to a minute and a half, then minutes, then hours and minutes.
    {"UnderASecond", kDefaultDownloadDetail, {kDone, kTotal, kRate, 0.2}, L"312.4 / 1,024.0 MB · 18.2 MB/s · 1 s left"},
    {"SecondsRoundUp", kDefaultDownloadDetail, {kDone, kTotal, kRate, 89.1},
     L"312.4 / 1,024.0 MB · 18.2 MB/s · 90 s left"},
    {"Minutes", kDefaultDownloadDetail, {kDone, kTotal, kRate, 90}, L"312.4 / 1,024.0 MB · 18.2 MB/s · 2 min left"},
    {"LastMinutesOfAnHour", kDefaultDownloadDetail, {kDone, kTotal, kRate, 3569},
     L"312.4 / 1,024.0 MB · 18.2 MB/s · 59 min left"},
    {"AWholeHour", kDefaultDownloadDetail, {kDone, kTotal, kRate, 3570},
     L"312.4 / 1,024.0 MB · 18.2 MB/s · 1 h left"},
    {"HoursAndMinutes", kDefaultDownloadDetail, {kDone, kTotal, kRate, 3725},
     L"312.4 / 1,024.0 MB · 18.2 MB/s · 1 h 2 min left"},
    {"LongestShown", kDefaultDownloadDetail, {kDone, kTotal, kRate, 99 * 3600 + 59 * 60},
     L"312.4 / 1,024.0 MB · 18.2 MB/s · 99 h 59 min left"},
    {"RoundsToAHundredHours", kDefaultDownloadDetail, {kDone, kTotal, kRate, 99 * 3600 + 59 * 60 + 50},
     L"312.4 / 1,024.0 MB · 18.2 MB/s"},
    {"VeryLong", kDefaultDownloadDetail, {kDone, kTotal, 1, 1e12}, L"312.4 / 1,024.0 MB · 0.0 MB/s"},
    // A studio's own formats.
    {"Off", L"", {kDone, kTotal, kRate, 40}, L""},
    {"DoneAloneKeepsItsUnit", L"{done}", {kDone, kTotal, kRate, 40}, L"312.4 MB"},
    {"OwnWordsAndOrder", L"{left} left, {rate} ({done} of {total})", {kDone, kTotal, kRate, 40},
     L"40 s left, 18.2 MB/s (312.4 of 1,024.0 MB)"},
    {"UnknownOutsideBracketsShowsNothing", L"{done} of {total}", {kDone, -1, kRate, 40}, L""},
    {"UnknownPlaceholderIsText", L"{done} at {speed}", {kDone, -1, kRate, 40}, L"312.4 MB at {speed}"},
    {"LoneBracketsAreText", L"[{rate} ]{done}] [x", {kDone, -1, kRate, 40}, L"18.2 MB/s 312.4 MB] [x"},
    {"BracketInsideAPartIsText", L"[a[{total}]", {kDone, kTotal, kRate, 40}, L"a[1,024.0 MB"},
    {"RepeatedPlaceholder", L"{rate}[ = {rate}]", {kDone, kTotal, kRate, 40}, L"18.2 MB/s = 18.2 MB/s"},
};
INSTANTIATE_TEST_SUITE_P(Figures, DetailText, testing::ValuesIn(kDetailCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DownloadDetailKey, AbsentGivesTheBuiltInFormatEmptyOrAnotherTypeGivesNone) {
  Json::Value settings(Json::objectValue);
  EXPECT_EQ(DownloadDetailFormat(settings), kDefaultDownloadDetail);
  EXPECT_EQ(DownloadDetailFormat(Json::Value()), kDefaultDownloadDetail);
  settings["DownloadDetail"] = Json::Value();
  EXPECT_EQ(DownloadDetailFormat(settings), kDefaultDownloadDetail);
  settings["DownloadDetail"] = "";
  EXPECT_EQ(DownloadDetailFormat(settings), L"");
  settings["DownloadDetail"] = 1;
  EXPECT_EQ(DownloadDetailFormat(settings), L"");
  settings["DownloadDetail"] = "{done} \xC2\xB7 {rate}";
  EXPECT_EQ(DownloadDetailFormat(settings), L"{done} \u00B7 {rate}");
}

// Feeds `meter` a transfer at `bytesPerSecond` from `from` to `to` seconds, a sample
// every tenth of a second; returns the bytes at `to`.
std::int64_t Feed(CTransferMeter& meter, double from, double to, double bytesPerSecond, std::int64_t bytes) {
  const int steps = static_cast<int>(std::lround((to - from) * 10));
  for (int i = 1; i <= steps; ++i) meter.Sample(from + i / 10.0, bytes + std::llround(bytesPerSecond * i / 10.0));
  return bytes + std::llround(bytesPerSecond * steps / 10.0);
}

TEST(TransferMeter, MeasuresASteadyTransferAndItsTimeLeftOnceSettled) {
  CTransferMeter meter;
  meter.Sample(0, 0);
  std::int64_t bytes = Feed(meter, 0, 0.9, 10e6, 0);
  EXPECT_LT(meter.BytesPerSecond(), 0) << "no speed before a second is measured";
  bytes = Feed(meter, 0.9, 2.5, 10e6, bytes);
  EXPECT_NEAR(meter.BytesPerSecond(), 10e6, 1);
  EXPECT_LT(meter.SecondsLeft(100'000'000), 0) << "no time left before the speed has settled";
  bytes = Feed(meter, 2.5, 4, 10e6, bytes);
  EXPECT_NEAR(meter.SecondsLeft(100'000'000), 6.0, 1e-6);
  EXPECT_LT(meter.SecondsLeft(-1), 0) << "no time left without a total";
  EXPECT_LT(meter.SecondsLeft(bytes), 0) << "no time left once every byte is there";
}

TEST(TransferMeter, AStallTakesTheTimeLeftAwayAtOnceAndTheSpeedToZeroInAWindow) {
  CTransferMeter meter;
  meter.Sample(0, 0);
  const std::int64_t bytes = Feed(meter, 0, 4, 10e6, 0);
  ASSERT_GT(meter.SecondsLeft(100'000'000), 0);
  Feed(meter, 4, 5.5, 0, bytes);
  EXPECT_LT(meter.SecondsLeft(100'000'000), 0);
  EXPECT_GT(meter.BytesPerSecond(), 0);
  Feed(meter, 5.5, 4 + CTransferMeter::kWindow, 0, bytes);
  EXPECT_EQ(meter.BytesPerSecond(), 0);
  EXPECT_LT(meter.SecondsLeft(100'000'000), 0);
}

TEST(TransferMeter, FollowsTheLastWindowOnlyAndWaitsForASteadySpeed) {
  CTransferMeter meter;
  meter.Sample(0, 0);
  std::int64_t bytes = Feed(meter, 0, 6, 10e6, 0);
  bytes = Feed(meter, 6, 8, 2e6, bytes);
  EXPECT_LT(meter.SecondsLeft(1'000'000'000), 0) << "the speed fell by a factor of five within the window";
  Feed(meter, 8, 6 + CTransferMeter::kWindow, 2e6, bytes);
  EXPECT_NEAR(meter.BytesPerSecond(), 2e6, 1);
  EXPECT_GT(meter.SecondsLeft(1'000'000'000), 0);
}

TEST(TransferMeter, BurstsAveragedOverTheWindowCountAsSteady) {
  CTransferMeter meter;
  std::int64_t bytes = 0;
  for (int tick = 0; tick <= 40; ++tick) {
    // 5 MB every half second, nothing in between.
    if (tick % 5 == 0 && tick > 0) bytes += 5'000'000;
    meter.Sample(tick / 10.0, bytes);
  }
  EXPECT_NEAR(meter.BytesPerSecond(), 10e6, 1e6);
  EXPECT_GT(meter.SecondsLeft(100'000'000), 0);
}

TEST(TransferMeter, ATransferThatStartsOverIsMeasuredAfresh) {
  CTransferMeter meter;
  meter.Sample(0, 0);
  Feed(meter, 0, 4, 10e6, 0);
  meter.Sample(4.1, 1000);
  EXPECT_LT(meter.BytesPerSecond(), 0);
  Feed(meter, 4.1, 5.5, 1e6, 1000);
  EXPECT_NEAR(meter.BytesPerSecond(), 1e6, 1);
}

// A download resumed from a part starts counting at the bytes kept: they are no speed.
TEST(TransferMeter, BytesKeptFromBeforeAreNoSpeed) {
  CTransferMeter meter;
  meter.Sample(0, 600'000'000);
  Feed(meter, 0, 2, 1e6, 600'000'000);
  EXPECT_NEAR(meter.BytesPerSecond(), 1e6, 1);
}

}  // namespace
