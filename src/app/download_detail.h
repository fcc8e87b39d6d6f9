#pragma once
// What the status text adds while the package downloads (DownloadDetail in
// Setting.json): the sizes, a smoothed speed and the time left, e.g.
// "312.4 / 1,024.0 MB · 18.2 MB/s · 40 s left".
#include <json/json.h>

#include <cstdint>
#include <deque>
#include <string>

#include "platform/locale.h"

// The format used when Setting.json has no DownloadDetail.
inline constexpr wchar_t kDefaultDownloadDetail[] = L"{done}[ / {total}][ · {rate}][ · {left} left]";

// DownloadDetail from the settings: the built-in format when the key is absent (or
// null), the text as it is when it is one (empty: no detail), empty for any other type.
std::wstring DownloadDetailFormat(const Json::Value& settings);

// A download's figures at one moment; a negative value is one not known (yet).
struct DownloadFigures {
  std::int64_t done = 0;
  std::int64_t total = -1;
  double bytesPerSecond = -1;
  double secondsLeft = -1;
};

// The detail text: `format` with {done}, {total}, {rate} and {left} replaced by the
// figures in decimal megabytes with one decimal (the speed per second) and a rounded
// time (s, min, h; none past 99 hours). A part between "[" and "]" shows only when every
// placeholder in it has a value, and so does the rest of the format, or nothing shows.
// {done} goes without its unit when {total} shows beside it.
std::wstring FormatDownloadDetail(const std::wstring& format, const DownloadFigures& figures,
                                  const platform::NumberFormat& numbers);

// Measures a transfer's speed from its byte count sampled over time.
class CTransferMeter {
 public:
  // The bytes so far at `seconds` (any steady origin; never earlier than the last
  // sample). Fewer bytes than before, as when a transfer starts over, begin the
  // measurement afresh.
  void Sample(double seconds, std::int64_t bytes);
  // Bytes per second over the last kWindow seconds; < 0 until kMinSpan is measured.
  double BytesPerSecond() const;
  // Seconds until `total` bytes at that speed; < 0 while unknown: no total or no speed,
  // under kSettle seconds measured, or a speed that is not steady (the window's halves
  // differ by more than a factor of kSteady, as when the transfer stalls).
  double SecondsLeft(std::int64_t total) const;

  static constexpr double kWindow = 5.0;
  static constexpr double kMinSpan = 1.0;
  static constexpr double kSettle = 3.0;
  static constexpr double kSteady = 2.0;

 private:
  struct Point {
    double seconds;
    std::int64_t bytes;
  };
  // Oldest first; the first one lies at or before the window's start once it is full.
  std::deque<Point> points_;
};
