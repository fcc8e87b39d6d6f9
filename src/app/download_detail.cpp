#include "app/download_detail.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/codepage.h"

namespace {

// Decimal megabytes, shown to a tenth.
constexpr std::int64_t kBytesPerTenth = 100'000;
constexpr double kLongestTimeLeft = 100 * 3600;

enum Placeholder { kDone, kTotal, kRate, kLeft, kPlaceholders };
constexpr std::array<const wchar_t*, kPlaceholders> kNames = {L"{done}", L"{total}", L"{rate}", L"{left}"};

// A run of the format: one between brackets, or one of the text around them.
struct Part {
  std::wstring text;
  bool optional = false;
};

std::vector<Part> SplitParts(const std::wstring& format) {
  std::vector<Part> parts(1);
  for (std::size_t i = 0; i < format.size(); ++i) {
    const std::size_t close = format[i] == L'[' ? format.find(L']', i + 1) : std::wstring::npos;
    if (close == std::wstring::npos) {
      // Text, a lone bracket included.
      if (parts.back().optional) parts.emplace_back();
      parts.back().text += format[i];
      continue;
    }
    parts.push_back({format.substr(i + 1, close - i - 1), true});
    i = close;
  }
  return parts;
}

bool Has(const Part& part, Placeholder placeholder) {
  return part.text.find(kNames[placeholder]) != std::wstring::npos;
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& name, const std::wstring& value) {
  for (std::size_t at = text.find(name); at != std::wstring::npos; at = text.find(name, at + value.size())) {
    text.replace(at, name.size(), value);
  }
  return text;
}

std::wstring Grouped(std::int64_t whole, const std::wstring& separator) {
  const std::wstring digits = std::to_wstring(whole);
  std::wstring text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += separator;
    text += digits[i];
  }
  return text;
}

// A number of tenths written with one decimal, its thousands grouped.
std::wstring OneDecimal(std::int64_t tenths, const platform::NumberFormat& numbers) {
  return Grouped(tenths / 10, numbers.thousandsSeparator) + numbers.decimalPoint + std::to_wstring(tenths % 10);
}

// "40 s", "12 min", "3 h 5 min": the closer the end, the finer; empty past 99 hours.
std::wstring TimeText(double seconds) {
  if (seconds >= kLongestTimeLeft) return {};
  if (seconds < 90) return std::to_wstring(std::max<std::int64_t>(1, std::llround(std::ceil(seconds)))) + L" s";
  const std::int64_t minutes = std::llround(seconds / 60);
  if (minutes < 60) return std::to_wstring(minutes) + L" min";
  if (minutes >= kLongestTimeLeft / 60) return {};
  std::wstring text = std::to_wstring(minutes / 60) + L" h";
  if (minutes % 60 != 0) text += L" " + std::to_wstring(minutes % 60) + L" min";
  return text;
}

}  // namespace

std::wstring DownloadDetailFormat(const Json::Value& settings) {
  constexpr char kKey[] = "DownloadDetail";
  const Json::Value* value = settings.isObject() ? settings.find(kKey, kKey + std::strlen(kKey)) : nullptr;
  if (!value || value->isNull()) return kDefaultDownloadDetail;
  return value->isString() ? platform::NarrowToWide(value->asString(), platform::CodePage::Utf8) : std::wstring();
}

std::wstring FormatDownloadDetail(const std::wstring& format, const DownloadFigures& figures,
                                  const platform::NumberFormat& numbers) {
  std::array<std::wstring, kPlaceholders> values;
  // Rounded in whole bytes, so that 2,050,000 bytes is 2.1 MB and not 2.0.
  const auto megabytes = [&numbers](std::int64_t bytes) {
    return OneDecimal((bytes + kBytesPerTenth / 2) / kBytesPerTenth, numbers);
  };
  values[kDone] = megabytes(figures.done);
  if (figures.total >= 0) values[kTotal] = megabytes(figures.total) + L" MB";
  if (figures.bytesPerSecond >= 0 && std::isfinite(figures.bytesPerSecond)) {
    values[kRate] = OneDecimal(std::llround(figures.bytesPerSecond / kBytesPerTenth), numbers) + L" MB/s";
  }
  if (figures.secondsLeft >= 0) values[kLeft] = TimeText(figures.secondsLeft);

  const auto shows = [&values](const Part& part) {
    for (int p = kTotal; p < kPlaceholders; ++p) {
      if (values[p].empty() && Has(part, static_cast<Placeholder>(p))) return false;
    }
    return true;
  };
  std::vector<Part> parts = SplitParts(format);
  bool totalShows = false;
  for (const Part& part : parts) {
    if (!part.optional && !shows(part)) return {};
    totalShows = totalShows || (shows(part) && Has(part, kTotal));
  }
  if (!totalShows) values[kDone] += L" MB";

  std::wstring text;
  for (const Part& part : parts) {
    if (!shows(part)) continue;
    std::wstring shown = part.text;
    for (int p = 0; p < kPlaceholders; ++p) shown = ReplaceAll(std::move(shown), kNames[p], values[p]);
    text += shown;
  }
  return text;
}

void CTransferMeter::Sample(double seconds, std::int64_t bytes) {
  if (!points_.empty() && bytes < points_.back().bytes) points_.clear();
  points_.push_back({seconds, bytes});
  // The oldest point kept is the last one at or before the window's start.
  while (points_.size() > 1 && points_[1].seconds <= seconds - kWindow) points_.pop_front();
}

double CTransferMeter::BytesPerSecond() const {
  if (points_.empty()) return -1;
  const double span = points_.back().seconds - points_.front().seconds;
  if (span < kMinSpan) return -1;
  return static_cast<double>(points_.back().bytes - points_.front().bytes) / span;
}

double CTransferMeter::SecondsLeft(std::int64_t total) const {
  const double rate = BytesPerSecond();
  if (total < 0 || rate <= 0 || points_.back().bytes >= total) return -1;
  const Point& first = points_.front();
  const Point& last = points_.back();
  if (last.seconds - first.seconds < kSettle) return -1;
  // Steady when the window's older and newer halves moved at much the same speed.
  const double middle = (first.seconds + last.seconds) / 2;
  const Point& split =
      *std::find_if(points_.begin(), points_.end(), [middle](const Point& p) { return p.seconds >= middle; });
  if (split.seconds <= first.seconds || split.seconds >= last.seconds) return -1;
  const double older = static_cast<double>(split.bytes - first.bytes) / (split.seconds - first.seconds);
  const double newer = static_cast<double>(last.bytes - split.bytes) / (last.seconds - split.seconds);
  if (older <= 0 || newer <= 0 || std::max(older, newer) > kSteady * std::min(older, newer)) return -1;
  return static_cast<double>(total - last.bytes) / rate;
}
