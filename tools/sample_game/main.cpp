// A stand-in for the game client: it records how it was started into game-args.json in
// its working folder, prints the same, and exits. The launcher starts it and never waits,
// so it must end by itself; "--linger-ms=N" among its arguments keeps it running for N ms
// (at most a minute), long enough to hold its files open.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "start_record.h"

namespace {

constexpr char kRecordName[] = "game-args.json";
constexpr char kLingerSwitch[] = "--linger-ms=";
constexpr unsigned kMaxLingerMs = 60000;

// Length of the well-formed UTF-8 sequence at `i`, or 0.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07;
  else return 0;
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, i);
      out += length ? text.substr(i, length) : "\\ufffd";
      i += length ? length : 1;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

std::string ToJson(const StartRecord& record, int64_t startedMs) {
  std::string json = "{\n  \"argv\": [";
  for (size_t i = 0; i < record.argv.size(); ++i) {
    json += (i ? ",\n    " : "\n    ") + JsonString(record.argv[i]);
  }
  json += record.argv.empty() ? "],\n" : "\n  ],\n";
  json += "  \"cwd\": " + JsonString(record.cwd) + ",\n";
  if (record.commandLine) json += "  \"commandLine\": " + JsonString(*record.commandLine) + ",\n";
  json += "  \"startedMs\": " + std::to_string(startedMs) + "\n}\n";
  return json;
}

// Written aside and moved into place, so a reader never sees half a record.
bool WriteRecord(const std::string& json) {
  const std::string partial = std::string(kRecordName) + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << json;
    if (!out.flush()) return false;
  }
  return MoveOver(partial, kRecordName);
}

unsigned LingerMilliseconds(const StartRecord& record) {
  const std::string prefix = kLingerSwitch;
  for (const std::string& arg : record.argv) {
    if (arg.compare(0, prefix.size(), prefix) != 0) continue;
    const unsigned long value = std::strtoul(arg.c_str() + prefix.size(), nullptr, 10);
    return value < kMaxLingerMs ? static_cast<unsigned>(value) : kMaxLingerMs;
  }
  return 0;
}

void Print(const StartRecord& record) {
  std::printf("sample_game started in %s\n", record.cwd.c_str());
  if (record.commandLine) std::printf("command line: %s\n", record.commandLine->c_str());
  for (size_t i = 0; i < record.argv.size(); ++i) {
    std::printf("argv[%zu] = %s\n", i, JsonString(record.argv[i]).c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t startedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  const StartRecord record = ReadStartRecord(argc, argv);
  const bool written = WriteRecord(ToJson(record, startedMs));
  Print(record);
  if (!written) std::fprintf(stderr, "sample_game: cannot write %s\n", kRecordName);
  if (const unsigned linger = LingerMilliseconds(record)) SleepMilliseconds(linger);
  return written ? 0 : 1;
}
