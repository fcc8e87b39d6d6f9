// libFuzzer target of the launcher's text readers: the first byte picks the reader (a
// letter below; any other byte picks one by its value), the rest is the text it reads.
// Each reader shares the JSON reader or the name check with the others, so what the
// fuzzer learns on one helps the rest. Beyond not crashing, what a reader accepts must
// keep its contract, or the target aborts:
//   n  a record name:            never climbs out of the client folder (CheckClientName)
//   l  .release/files.sha256:    safe names, lower-case hashes, the text is the list
//   c  ClientFiles.json:         safe names; the record round-trips through its writer
//   j  journal.json:             safe names, decimal unpacked names; round-trips
//   p  <package>.part.json:      a validator without control characters; round-trips
//   s  Setting.json, Version.json (comments allowed): the document round-trips through
//                                the writer; an accepted BaseDir stays below the game root
//   e  the page's fnEnterGame text, then a line feed and ExeCmdArgs: the game's command
//                                line splits into exactly the arguments it was built from
//   v  a version answer against one signed answer: an accepted answer has its signed fields
//   t  an Expires time:          an accepted time writes back as the same text
//   b  .release/blocks:          safe names, block sizes in bounds, as many blocks as the
//                                size needs, compressed blocks end to end from 0, every
//                                byte read
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/launcher_configuration.h"
#include "app/params.h"
#include "net/part_file.h"
#include "store/files.h"
#include "store/json_file.h"
#include "update/block_map.h"
#include "update/client_files.h"
#include "update/file_list.h"
#include "update/journal.h"
#include "update/record_name.h"
#include "update/release_signature.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Broken(const char* contract, const std::string& detail) {
  std::fprintf(stderr, "contract broken: %s: [%s]\n", contract, detail.c_str());
  std::abort();
}

void Require(bool holds, const char* contract, const std::string& detail) {
  if (!holds) Broken(contract, detail);
}

const fs::path& Root() {
  static const fs::path root = fs::temp_directory_path() / ("records-fuzz-" + std::to_string(getpid()));
  return root;
}

void RemoveRoot() {
  std::error_code ec;
  fs::remove_all(Root(), ec);
}

std::string Scratch(const char* name) { return (Root() / name).string(); }

bool WriteScratch(const std::string& path, std::string_view content) {
  return WriteWholeFile(path, std::string(content));
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool HasControl(std::string_view text) {
  for (char c : text) {
    if (IsControl(c)) return true;
  }
  return false;
}

// Strict UTF-8: no overlong form, no surrogate, nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4                 ? 4
                                                                              : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// What the JSON writer can write back: it puts U+FFFD for bytes that are not UTF-8 (JSON
// texts are Unicode), and it ends a key at a NUL.
bool IsWritable(const Json::Value& value) {
  if (value.isString()) return IsUtf8(value.asString());
  if (value.isObject()) {
    for (const std::string& key : value.getMemberNames()) {
      if (!IsUtf8(key) || key.find('\0') != std::string::npos || !IsWritable(value[key])) return false;
    }
  }
  if (value.isArray()) {
    for (const Json::Value& item : value) {
      if (!IsWritable(item)) return false;
    }
  }
  return true;
}

// Only dots and spaces, at least one dot: ".", "..", and what Windows trims to either.
bool IsDotStep(std::string_view component) {
  return component.find('.') != std::string_view::npos && component.find_first_not_of(". ") == std::string_view::npos;
}

std::vector<std::string_view> Components(std::string_view path, std::string_view separators) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(path.find_first_of(separators, start), path.size());
    parts.push_back(path.substr(start, end - start));
    if (end == path.size()) return parts;
    start = end + 1;
  }
}

// Told apart from the reader's own check on purpose: what a name below the client folder
// may never be, whichever system places it.
void CheckClientName(const std::string& name) {
  Require(!name.empty() && !HasControl(name), "a record name is empty or holds a control character", name);
  Require(name.find(':') == std::string::npos, "a record name holds a colon", name);
  // A backslash is a separator on Windows, where the name check refuses it, and an
  // ordinary character here.
  for (std::string_view part : Components(name, "/")) {
    Require(!part.empty() && !IsDotStep(part), "a record name has an empty, self or parent step", name);
  }
  const fs::path placed = (fs::path("/client") / name).lexically_normal();
  Require(placed.string().rfind("/client/", 0) == 0, "a record name climbs out of the client folder", name);
}

void CheckClientFiles(const ClientFiles& record) {
  for (const auto& [name, file] : record.files) {
    CheckClientName(name);
    Require(file.sha256.empty() || IsSha256Hex(file.sha256), "a record holds a malformed SHA-256", file.sha256);
  }
}

void ReadName(std::string_view text) {
  const std::string name(text);
  if (IsSafeRecordName(name)) CheckClientName(name);
}

void ReadFileList(std::string_view text) {
  std::map<std::string, std::string> hashes;
  if (!ParseFileList(std::string(text), &hashes)) return;
  std::string written;
  for (const auto& [name, hash] : hashes) {
    CheckClientName(name);
    Require(IsSha256Hex(hash), "a file list holds a malformed SHA-256", hash);
    written += hash + "  " + name + "\n";
  }
  // Every line is one entry: nothing was skipped or merged.
  Require(written.size() == text.size(), "a file list accepted a line it did not list", std::string(text));
}

void ReadBlockMap(std::string_view text) {
  std::vector<BlockedFile> files;
  if (!ParseBlockMap(std::string(text), &files)) return;
  const std::string detail(text);
  // Magic and file count, then per file its header and name, per block its record.
  std::size_t described = 8;
  for (const BlockedFile& file : files) {
    CheckClientName(file.name);
    Require(file.blockSize >= kMinBlockSize && file.blockSize <= kMaxBlockSize, "a block size out of bounds", detail);
    Require(file.blocks.size() == (file.size + file.blockSize - 1) / file.blockSize,
            "a block count that does not fit the file's size", detail);
    std::uint64_t offset = 0;
    for (const BlockInfo& block : file.blocks) {
      Require(block.compressedOffset == offset && block.compressedLength > 0,
              "compressed blocks that are not end to end", detail);
      offset += block.compressedLength;
    }
    described += 18 + file.name.size() + file.blocks.size() * (8 + kStrongHashSize);
  }
  Require(described == text.size(), "a block map accepted bytes it does not describe", detail);
}

void ReadClientFiles(std::string_view text) {
  const std::string path = Scratch(kClientFilesName);
  ClientFiles record;
  if (!WriteScratch(path, text) || !LoadClientFiles(path, &record)) return;
  CheckClientFiles(record);
  if (!IsUtf8(record.version) || !IsUtf8(record.baseDir)) return;
  ClientFiles again;
  Require(SaveClientFiles(path, record) && LoadClientFiles(path, &again) && again == record,
          "ClientFiles.json does not round-trip", std::string(text));
}

void CheckJournal(const UpdateJournal& journal) {
  for (const JournalMove& move : journal.moves) {
    CheckClientName(move.name);
    Require(!move.unpacked.empty() && move.unpacked.find_first_not_of("0123456789") == std::string::npos,
            "an unpacked entry's name is not decimal digits", move.unpacked);
  }
  for (const std::string& name : journal.removes) CheckClientName(name);
  CheckClientFiles(journal.record);
}

void ReadUpdateJournal(std::string_view text) {
  const std::string path = Scratch("journal.json");
  UpdateJournal journal;
  if (!WriteScratch(path, text) || !ReadJournal(path, &journal)) return;
  CheckJournal(journal);
  if (!IsUtf8(journal.version) || !IsUtf8(journal.record.version) || !IsUtf8(journal.record.baseDir)) return;
  UpdateJournal again;
  Require(WriteJournal(path, journal) && ReadJournal(path, &again) && again.version == journal.version &&
              again.moves == journal.moves && again.removes == journal.removes && again.record == journal.record,
          "journal.json does not round-trip", std::string(text));
}

constexpr char kPackageUrl[] = "http://127.0.0.1:8080/client_1.0.2.zip";

// A download that ended after `body`, with the record of `recordText` beside its part;
// the validator that a new run takes from it.
std::string ValidatorAfter(const std::string& target, std::string_view recordText, std::string_view body) {
  if (!WriteScratch(net::PartFile::PartPath(target), body) ||
      !WriteScratch(net::PartFile::RecordPath(target), recordText)) {
    return "";
  }
  net::PartFile part(target, kPackageUrl, -1, "");
  part.Prepare();
  return part.Resumable() > 0 ? part.validator() : "";
}

void ReadPartRecord(std::string_view text) {
  const std::string validator = ValidatorAfter(Scratch("client_1.0.2.zip"), text, "PK\3\4partial");
  if (validator.empty()) return;
  Require(!HasControl(validator), "a part record's validator holds a control character", validator);
  // The record the writer makes for that validator reads back as the same.
  const std::string target = Scratch("written.zip");
  {
    net::PartFile part(target, kPackageUrl, -1, "");
    part.Prepare();
    Require(part.StartOver(validator) && part.Append("PK", 2) && part.EndAttempt(), "a part cannot be written",
            validator);
  }
  net::PartFile part(target, kPackageUrl, -1, "");
  part.Prepare();
  // One the record cannot hold as it is (not UTF-8) resumes nothing in a later run.
  const bool kept = IsUtf8(validator);
  Require(part.Resumable() == (kept ? 2 : 0) && part.validator() == (kept ? validator : ""),
          "a part record does not round-trip", validator);
}

// BaseDir is emptied and refilled: an accepted one names a folder strictly below the
// game root on every system.
void CheckBaseDir(const std::string& baseDir) {
  Require(!baseDir.empty() && baseDir.find(':') == std::string::npos, "BaseDir is empty or names a drive", baseDir);
  for (std::string_view part : Components(baseDir, "/\\")) {
    Require(!IsDotStep(part), "BaseDir has a self or parent step", baseDir);
  }
  Require(baseDir.front() != '/' && baseDir.front() != '\\', "BaseDir is absolute", baseDir);
}

void ReadSettings(std::string_view text) {
  const std::string path = Scratch("Setting.json");
  Json::Value document;
  if (!WriteScratch(path, text) || !ReadJsonFile(path, document)) return;
  const std::string baseDir = ReadJsonText(document, "BaseDir");
  if (IsSafeBaseDir(baseDir)) CheckBaseDir(baseDir);
  if (!IsWritable(document)) return;
  // Version.json is rewritten with a key added: every other key must come back as it was.
  Json::Value again;
  Require(WriteJsonFile(path, document) && ReadJsonFile(path, again) && again == document,
          "a settings document does not round-trip", std::string(text));
}

// The Windows C runtime's rules for the arguments after the program's name, written
// out again here: 2n backslashes before a quote give n and toggle quoting, 2n+1 give n
// and a literal quote, other backslashes are literal; spaces and tabs outside quoting
// separate. The command line is a C string: it ends at its first NUL.
std::vector<std::string> SplitArguments(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  std::vector<std::string> arguments;
  std::string current;
  bool inArgument = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\') {
      std::size_t run = 0;
      while (i < line.size() && line[i] == '\\') ++run, ++i;
      if (i < line.size() && line[i] == '"') {
        current.append(run / 2, '\\');
        if (run % 2 == 1) {
          current.push_back('"');
        } else {
          quoted = !quoted;
        }
      } else {
        current.append(run, '\\');
        --i;
      }
      inArgument = true;
    } else if (c == '"') {
      quoted = !quoted;
      inArgument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inArgument) arguments.push_back(current);
      current.clear();
      inArgument = false;
    } else {
      current.push_back(c);
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(current);
  return arguments;
}

void ReadPageParams(std::string_view text) {
  const std::size_t lineEnd = text.find('\n');
  const std::string page(text.substr(0, lineEnd));
  const std::string extra = lineEnd == std::string_view::npos ? "" : std::string(text.substr(lineEnd + 1));
  ParamMap params;
  ParseParams(page, params);
  const std::string joined = JoinParams(params);
  ParamMap again;
  ParseParams(joined, again);
  Require(again == params, "a parameter list does not round-trip through JoinParams", page);
  const std::string user = params["username"];
  const std::string path = "C:\\Games\\My game\\client\\game.exe";
  const std::string line = GameCommandLine(path, GameArguments(user, JoinParams(params), extra));
  const std::string afterPath = line.substr(path.size() + 3);
  // Each text arrives up to its first NUL, and every argument arrives.
  const auto cut = [](const std::string& t) { return t.substr(0, t.find('\0')); };
  const std::vector<std::string> expected = {"-AppUniqueId", cut(user), "-PCORVO", cut(JoinParams(params)), cut(extra)};
  Require(SplitArguments(afterPath) == expected, "the game's command line breaks quoting", line);
}

// A throwaway key's public half and an answer it signed (the private half is gone).
constexpr char kReleaseKey[] =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE+EXqNW7FrCHX1R6+g6O6uul/140n7lA4rFihmW/2s6lPud440CSzlWjS75s0pSBiNruGlGbTn/"
    "SwlA4RgZ4qfg==";
constexpr char kSignedMessage[] =
    "1.0.2\nhttp://127.0.0.1:8080/client_1.0.2.zip\n123456\n"
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n"
    "60303ae22b998861bce3b28f33eec1be758a213c86c93c076dbe9f558c11c752\n"
    "http://127.0.0.1:8080/report\n7\n2030-06-15T12:00:00Z\n";

void ReadVersionAnswer(std::string_view text) {
  Json::Value answer;
  if (!ParseJsonText(std::string(text), answer)) return;
  // The signed answer's serial seen before, a day in 2029: only it, served again, passes.
  const ReleaseHistory history{7, 1861920000};
  if (!IsAcceptableVersionAnswer(kReleaseKey, answer, history)) return;
  const std::string detail(text);
  Require(SignedReleaseMessage(answer) == kSignedMessage, "an accepted answer differs from the signed one", detail);
  Require(ReadJsonText(answer, "Version") == "1.0.2" &&
              ReadJsonText(answer, "PackageUrl") == "http://127.0.0.1:8080/client_1.0.2.zip" &&
              ReadJsonText(answer, "ReportOperationUrl") == "http://127.0.0.1:8080/report",
          "an accepted answer's fields as the launcher reads them differ from the signed ones", detail);
  Require(ReleaseSerialOf(answer) == 7, "an accepted answer's serial differs from the signed one", detail);
}

void ReadUtcTime(std::string_view text) {
  std::int64_t seconds = 0;
  if (!ParseUtcTime(std::string(text), &seconds)) return;
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char written[64] = {};
  Require(gmtime_r(&time, &parts) != nullptr, "an accepted time is no calendar time", std::string(text));
  std::snprintf(written, sizeof written, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  Require(text == written, "an accepted time names another moment", std::string(text) + " is " + written);
}

struct Reader {
  char letter;
  void (*read)(std::string_view text);
};

constexpr Reader kReaders[] = {
    {'n', ReadName},          {'l', ReadFileList},   {'c', ReadClientFiles},   {'j', ReadUpdateJournal},
    {'p', ReadPartRecord},    {'s', ReadSettings},   {'e', ReadPageParams},    {'v', ReadVersionAnswer},
    {'t', ReadUtcTime},       {'b', ReadBlockMap},
};

const Reader& ReaderFor(std::uint8_t selector) {
  for (const Reader& reader : kReaders) {
    if (reader.letter == static_cast<char>(selector)) return reader;
  }
  return kReaders[selector % std::size(kReaders)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Registered once the root's path exists, so it runs before the path is destroyed.
  static const bool cleanupRegistered = !Root().empty() && std::atexit(RemoveRoot) == 0;
  (void)cleanupRegistered;
  if (size == 0) return 0;
  std::error_code ec;
  fs::remove_all(Root(), ec);
  fs::create_directories(Root());
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  ReaderFor(data[0]).read(text);
  return 0;
}
