#include "app/params.h"

void SplitString(const std::string& text, const std::string& separator, std::vector<std::string>& out) {
  out.clear();
  if (text.empty()) return;
  if (separator.empty()) {
    out.push_back(text);
    return;
  }
  std::size_t position = 0;
  for (;;) {
    const std::size_t found = text.find(separator, position);
    if (found == std::string::npos) {
      out.push_back(text.substr(position));
      return;
    }
    out.push_back(text.substr(position, found - position));
    position = found + separator.size();
    if (position >= text.size()) {
      out.emplace_back();
      return;
    }
  }
}

void ParseParams(const std::string& text, ParamMap& params) {
  std::vector<std::string> pieces;
  SplitString(text, "&", pieces);
  std::vector<std::string> parts;
  for (const std::string& piece : pieces) {
    SplitString(piece, "=", parts);
    if (parts.size() >= 2) params[parts[0]] = parts[1];
  }
}

std::string JoinParams(const ParamMap& params) {
  std::string joined;
  for (const auto& [key, value] : params) {
    if (!joined.empty()) joined += '&';
    joined += key;
    joined += '=';
    joined += value;
  }
  return joined;
}

namespace {

bool NeedsEscaping(const std::string& text) {
  return text.find('"') != std::string::npos || (!text.empty() && text.back() == '\\');
}

// Backslashes count only in front of a quote, so only those runs are doubled.
std::string EscapeArgument(const std::string& text) {
  std::string out;
  std::size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');  // the closing quote follows
  return out;
}

}  // namespace

std::string Quote(const std::string& text, char delimiter) {
  // A command line is a C string: a NUL inside would end it, and every argument after it.
  const std::string cut = text.substr(0, text.find('\0'));
  const std::string body = delimiter == '"' && NeedsEscaping(cut) ? EscapeArgument(cut) : cut;
  return delimiter + body + delimiter;
}

std::string GameArguments(const std::string& user, const std::string& joinedParams, const std::string& extraArgs) {
  return "-AppUniqueId " + Quote(user) + " " + "-PCORVO " + Quote(joinedParams) + " " + Quote(extraArgs);
}

std::string GameCommandLine(const std::string& path, const std::string& arguments) {
  // A path cannot hold a double quote, and the program name is read without escapes.
  return '"' + path + '"' + " " + arguments;
}
