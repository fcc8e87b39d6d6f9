#pragma once
// The version server's answer, read once: `Version`, `PackageUrl` and
// `ReportOperationUrl`, with the optional `PackageSize`, `PackageSha256`,
// `FileListSha256`, `Serial` and `PackageUrls`. The release check (release_signature.h) holds the
// document itself to its `Signature`.
#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

struct VersionAnswer {
  Json::Value document;  // as received
  std::string version;
  std::string packageUrl;
  // Further addresses of the same package, tried in order when one fails. They are not
  // signed: the signed size and hash keep a mirror from serving anything else.
  std::vector<std::string> packageUrls;
  std::string reportUrl;
  // A whole number of bytes; -1 when absent or of another form.
  std::int64_t packageSize = -1;
  // Lower case; "" when absent or not 64 hexadecimal digits.
  std::string packageSha256;
  // Whether the answer names a file list at all, and its hash in lower case ("" when it
  // is not 64 hexadecimal digits).
  bool namesFileList = false;
  std::string fileListSha256;
  // A positive integer; 0 when absent or of another form.
  std::int64_t serial = 0;
};

// Parses the answer's text; false when it is not JSON. `document` holds what was parsed.
bool ParseVersionAnswerText(const std::string& text, Json::Value* document);

// False when `document` is not an object whose `Version`, `PackageUrl` and
// `ReportOperationUrl` are texts where present: an answer that is not ours.
bool ReadVersionAnswer(const Json::Value& document, VersionAnswer* answer);
