#pragma once
// The launcher's configuration files and folder helpers.
#include <json/json.h>

#include <string>

// The whole file appended to `content`; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* content);
// Creates or truncates the file and writes `content`; false on failure.
bool WriteWholeFile(const std::string& path, const std::string& content);

// Parses `text` (comments allowed) into `document`; false when it does not parse,
// nesting too deep included (the JSON reader throws then; this never does).
bool ParseJsonText(const std::string& text, Json::Value& document);
// Parses the whole file (comments allowed) into `document`; false when the file
// cannot be opened or does not parse.
bool ReadJsonFile(const std::string& path, Json::Value& document);
// Writes the document in jsoncpp's styled layout. The file is replaced as a whole
// (written beside it, then renamed over it), so a failure leaves the old file.
bool WriteJsonFile(const std::string& path, const Json::Value& document);

// Key reads: an absent or null key, a value of another type, a root that is not an
// object or an integer outside 32 bits read as "" or 0. Reals are truncated toward
// zero; true and false count as 1 and 0.
std::string ReadJsonText(const Json::Value& document, const char* key);
int ReadJsonInt(const Json::Value& document, const char* key);

// `folder`, the system's separator, then `name`.
std::string JoinPath(const std::string& folder, const std::string& name);

// Path below the user's application-data folder; created (one level) when missing.
std::wstring EnsureAppDataSubfolder(const std::wstring& name);
std::string AppDataGameRoot(const std::string& name);
// Whether a file can be written at `path` and read back; the file is gone afterwards.
bool CheckWritable(const std::string& path);
// Deletes everything inside `folder`, depth first, keeping the folder. A missing
// folder counts as empty. A link inside (a symbolic link or a junction) is removed as
// the link: nothing behind it is entered or deleted. Stops at the first entry that
// cannot be deleted.
bool EmptyFolder(const std::string& folder);
