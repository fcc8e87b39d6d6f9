#pragma once
// Whether a version answer may be used. A studio that sets `ReleasePublicKey` accepts
// only answers it signed, so that no one on the player's network path can name a
// package of their own: the signature covers the version, the package's address, size
// and SHA-256, the hash of its file list, the report address, and the release's serial
// and expiry, so that an older signed answer cannot be replayed to hold a player back.
#include <json/json.h>

#include <cstdint>
#include <string>

// The bytes the studio signs: `Version`, `PackageUrl`, `PackageSize` in decimal,
// `PackageSha256` in lower case, `FileListSha256` in lower case (empty when absent),
// `ReportOperationUrl`, `Serial` in decimal (empty when absent) and `Expires` (empty when
// absent), each followed by a line feed. Empty when the answer lacks the size or the
// package hash, or when a field is of the wrong form (a line feed in a text would let a
// signed answer be cut into fields another way; a serial is a positive integer).
std::string SignedReleaseMessage(const Json::Value& answer);

// What the launcher knows when it judges an answer.
struct ReleaseHistory {
  // The highest `Serial` of an accepted signed answer so far (0: none seen).
  std::int64_t highestSerial = 0;
  // The time now, UTC seconds since 1970.
  std::int64_t now = 0;
};

// True without a key (`publicKeyBase64` empty). With one, only when `answer` carries
// `PackageSize`, `PackageSha256` and a `Signature` (base64 of 64 bytes, r then s) that
// the key (base64 of its SubjectPublicKeyInfo) made over SignedReleaseMessage, its serial
// is not below the highest seen (and present once one was seen), and its `Expires`, when
// present, is well formed and not past. A key that cannot be read accepts nothing.
bool IsAcceptableVersionAnswer(const std::string& publicKeyBase64, const Json::Value& answer,
                               const ReleaseHistory& history);

// `Serial` of an answer: a positive integer, 0 when absent or of another form.
std::int64_t ReleaseSerialOf(const Json::Value& answer);

// "YYYY-MM-DDTHH:MM:SSZ" as UTC seconds since 1970; false when of another form.
bool ParseUtcTime(const std::string& text, std::int64_t* seconds);
