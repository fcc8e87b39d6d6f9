#pragma once
// JSON files (Setting.json, Version.json and the launcher's records) and key reads.
#include <json/json.h>

#include <string>

// Parses `text` (comments allowed) into `document`; false when it does not parse,
// nesting too deep included (the JSON reader throws then; this never does).
bool ParseJsonText(const std::string& text, Json::Value& document);
// Parses the whole file (comments allowed) into `document`; false when the file
// cannot be opened or does not parse.
bool ReadJsonFile(const std::string& path, Json::Value& document);
// Writes the document in jsoncpp's styled layout. The file is replaced as a whole
// (written beside it, then renamed over it), so a failure leaves the old file.
bool WriteJsonFile(const std::string& path, const Json::Value& document);

// The value of `key`; null when absent or when `document` is no object.
const Json::Value* FindKey(const Json::Value& document, const char* key);

// Key reads: an absent or null key, a value of another type, a root that is not an
// object or an integer outside 32 bits read as "" or 0. Reals are truncated toward
// zero; true and false count as 1 and 0.
std::string ReadJsonText(const Json::Value& document, const char* key);
int ReadJsonInt(const Json::Value& document, const char* key);
