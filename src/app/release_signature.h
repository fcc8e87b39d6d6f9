#pragma once
// Whether a version answer may be used. A studio that sets `ReleasePublicKey` accepts
// only answers it signed, so that no one on the player's network path can name a
// package of their own: the signature covers the version, the package's address, size
// and SHA-256, and the hash of its file list.
#include <json/json.h>

#include <string>

// The bytes the studio signs: `Version`, `PackageUrl`, `PackageSize` in decimal,
// `PackageSha256` in lower case and `FileListSha256` in lower case (empty when absent),
// each followed by a line feed. Empty when the answer lacks the size or the package
// hash, or when a field is of the wrong form (a line feed in a text would let a signed
// answer be cut into fields another way).
std::string SignedReleaseMessage(const Json::Value& answer);

// True without a key (`publicKeyBase64` empty); with one, only when `answer` carries
// `PackageSize`, `PackageSha256` and a `Signature` (base64 of 64 bytes, r then s) that
// the key (base64 of its SubjectPublicKeyInfo) made over SignedReleaseMessage. A key
// that cannot be read accepts nothing.
bool IsAcceptableVersionAnswer(const std::string& publicKeyBase64, const Json::Value& answer);
