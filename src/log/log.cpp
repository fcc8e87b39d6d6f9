#include "log/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/file.h"
#include "platform/path.h"

namespace applog {
namespace {

// The open session's file, and the lock that keeps it alive while a line goes out.
std::mutex g_sessionMutex;
LogFile* g_session = nullptr;

std::int64_t NowMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void AppendDigits(std::string* text, long long value, int width) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%0*lld", width, value);
  text->append(buffer);
}

// Writes all of `line` to the file at `path`, opened with `mode`; false when any of it fails.
bool WriteTo(const std::string& path, const char* mode, const std::string& line) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (!file) return false;
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

std::string FormatLine(std::int64_t unixMilliseconds, std::string_view message) {
  using namespace std::chrono;
  const sys_time<milliseconds> time{milliseconds(unixMilliseconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  std::string line;
  line.reserve(25 + std::min(message.size(), kMaxMessageLength));
  AppendDigits(&line, static_cast<int>(date.year()), 4);
  line += '-';
  AppendDigits(&line, static_cast<unsigned>(date.month()), 2);
  line += '-';
  AppendDigits(&line, static_cast<unsigned>(date.day()), 2);
  line += 'T';
  AppendDigits(&line, clock.hours().count(), 2);
  line += ':';
  AppendDigits(&line, clock.minutes().count(), 2);
  line += ':';
  AppendDigits(&line, clock.seconds().count(), 2);
  line += '.';
  AppendDigits(&line, clock.subseconds().count(), 3);
  line += "Z ";
  for (const char c : message.substr(0, kMaxMessageLength)) {
    const auto byte = static_cast<unsigned char>(c);
    line += byte < 0x20 || byte == 0x7f ? ' ' : c;
  }
  return line;
}

std::string UrlForLog(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const std::size_t scheme = url.find("://");
  const std::size_t hostStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t hostEnd = std::min(url.find('/', hostStart), url.size());
  const std::size_t at = url.substr(0, hostEnd).rfind('@');
  if (at == std::string_view::npos || at < hostStart) return std::string(url);
  return std::string(url.substr(0, hostStart)) + std::string(url.substr(at + 1));
}

LogFile::LogFile(std::string path, std::uint64_t limit) : path_(std::move(path)), limit_(limit) {}

void LogFile::Write(std::string_view message) {
  const std::string line = FormatLine(NowMilliseconds(), message) + "\n";
  std::lock_guard lock(mutex_);
  std::uint64_t size = 0;
  // Failures are ignored on purpose: a log that cannot be written must not fail the
  // launch it describes. A file that cannot be renamed away starts over in place, so
  // that it stays bounded all the same.
  if (platform::QueryFileSize(path_, &size) && size > 0 && size + line.size() > limit_) {
    if (!platform::RenameOver(path_, path_ + ".1")) {
      WriteTo(path_, "wb", line);
      return;
    }
  }
  WriteTo(path_, "ab", line);
}

LogSession::LogSession(const std::string& folder, std::uint64_t limit)
    : file_(folder.empty() ? std::string(kLogFileName) : folder + platform::PathSeparator() + kLogFileName,
            limit) {
  std::lock_guard lock(g_sessionMutex);
  g_session = &file_;
}

LogSession::~LogSession() {
  std::lock_guard lock(g_sessionMutex);
  if (g_session == &file_) g_session = nullptr;
}

void Log(std::string_view message) {
  std::lock_guard lock(g_sessionMutex);
  if (g_session) g_session->Write(message);
}

}  // namespace applog
