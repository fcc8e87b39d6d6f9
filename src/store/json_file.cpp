// JSON files and the launcher's lenient key reads.
#include "store/json_file.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "platform/file.h"
#include "store/files.h"

const Json::Value* FindKey(const Json::Value& document, const char* key) {
  return document.isObject() ? document.find(key, key + std::strlen(key)) : nullptr;
}

bool ParseJsonText(const std::string& text, Json::Value& document) {
  // The reader keeps no comments, so a rewritten file is the plain styled layout.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader;
  try {
    if (reader.parse(text.data(), text.data() + text.size(), document, false)) return true;
  } catch (const std::exception&) {
    // Past a thousand nested arrays or objects the reader throws instead of failing.
  }
#pragma GCC diagnostic pop
  document = Json::Value();
  return false;
}

bool ReadJsonFile(const std::string& path, Json::Value& document) {
  std::string content;
  return ReadWholeFile(path, &content) && ParseJsonText(content, document);
}

bool WriteJsonFile(const std::string& path, const Json::Value& document) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::StyledWriter writer;
  const std::string text = writer.write(document);
#pragma GCC diagnostic pop
  const std::string temporary = path + ".tmp";
  if (!WriteWholeFile(temporary, text) || !platform::RenameOver(temporary, path)) {
    platform::RemoveFile(temporary);
    return false;
  }
  return true;
}

std::string ReadJsonText(const Json::Value& document, const char* key) {
  const Json::Value* value = FindKey(document, key);
  return value && value->isString() ? value->asString() : std::string();
}

int ReadJsonInt(const Json::Value& document, const char* key) {
  const Json::Value* value = FindKey(document, key);
  if (!value) return 0;
  if (value->isBool()) return value->asBool() ? 1 : 0;
  if (value->isInt()) return value->asInt();
  if (value->isDouble()) {
    const double truncated = std::trunc(value->asDouble());
    if (truncated >= std::numeric_limits<int>::min() && truncated <= std::numeric_limits<int>::max()) {
      return static_cast<int>(truncated);
    }
  }
  return 0;
}
