#pragma once
// The launcher's log: launcher.log in the game root, one line per event, each starting
// with its UTC time ("2026-12-10T23:15:01.123Z message"), for a player to attach to a
// support ticket.
//
// The application owns the open log (LogSession); every other part writes through Log(),
// which does nothing while no log is open, so tests and tools need no log at all.
// Writing never fails anything: a log that cannot be written loses its lines and the
// launcher goes on as before.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace applog {

inline constexpr char kLogFileName[] = "launcher.log";
// Past this size the file becomes "<name>.1" (replacing the older one) and a new one starts.
inline constexpr std::uint64_t kMaxLogSize = 1024 * 1024;
// A longer message is cut: one event must not push everything else out of the file.
inline constexpr std::size_t kMaxMessageLength = 2000;

// One line without its line feed: the time (milliseconds since 1970-01-01 UTC) as
// "YYYY-MM-DDThh:mm:ss.mmmZ", a space, then `message` with its control characters
// (line breaks above all) turned into spaces, cut at kMaxMessageLength.
std::string FormatLine(std::int64_t unixMilliseconds, std::string_view message);

// `url` as it may be logged: without its query and fragment (a report's query carries
// the player's name) and without user information before the host (it may be a password).
std::string UrlForLog(std::string_view url);

// One log file, written from any thread: each line goes out whole with one write, and
// a line that would take the file past `limit` bytes first rotates it.
class LogFile {
 public:
  explicit LogFile(std::string path, std::uint64_t limit = kMaxLogSize);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Appends one line with the current time.
  void Write(std::string_view message);
  const std::string& path() const { return path_; }

 private:
  std::mutex mutex_;
  const std::string path_;
  const std::uint64_t limit_;
};

// While it lives, Log() writes to kLogFileName in `folder`. A newer session takes over
// from an older one; when the one in use ends, Log() does nothing again.
class LogSession {
 public:
  explicit LogSession(const std::string& folder, std::uint64_t limit = kMaxLogSize);
  ~LogSession();
  LogSession(const LogSession&) = delete;
  LogSession& operator=(const LogSession&) = delete;

  const std::string& path() const { return file_.path(); }

 private:
  LogFile file_;
};

// Writes one line to the open log, from any thread; nothing when no log is open.
void Log(std::string_view message);

}  // namespace applog
