#include "update/version_answer.h"

#include "store/json_file.h"
#include "update/file_list.h"
#include "update/release_signature.h"

namespace {

bool IsTextOrAbsent(const Json::Value& document, const char* key) {
  const Json::Value* value = FindKey(document, key);
  return !value || value->isNull() || value->isString();
}

std::int64_t PackageSizeOf(const Json::Value& document) {
  const Json::Value* value = FindKey(document, "PackageSize");
  if (!value || !value->isIntegral() || !value->isInt64() || value->asInt64() < 0) return -1;
  return value->asInt64();
}

// The texts of the `PackageUrls` array that are not empty; nothing for any other form.
std::vector<std::string> PackageUrlsOf(const Json::Value& document) {
  std::vector<std::string> urls;
  const Json::Value* value = FindKey(document, "PackageUrls");
  if (!value || !value->isArray()) return urls;
  for (const Json::Value& url : *value) {
    if (url.isString() && !url.asString().empty()) urls.push_back(url.asString());
  }
  return urls;
}

}  // namespace

bool ParseVersionAnswerText(const std::string& text, Json::Value* document) {
  return ParseJsonText(text, *document);
}

bool ReadVersionAnswer(const Json::Value& document, VersionAnswer* answer) {
  if (!document.isObject() || !IsTextOrAbsent(document, "Version") || !IsTextOrAbsent(document, "PackageUrl") ||
      !IsTextOrAbsent(document, "ReportOperationUrl")) {
    return false;
  }
  answer->document = document;
  answer->version = ReadJsonText(document, "Version");
  answer->packageUrl = ReadJsonText(document, "PackageUrl");
  answer->packageUrls = PackageUrlsOf(document);
  answer->reportUrl = ReadJsonText(document, "ReportOperationUrl");
  answer->packageSize = PackageSizeOf(document);
  answer->packageSha256 = Sha256HexOf(ReadJsonText(document, "PackageSha256"));
  answer->namesFileList = FindKey(document, "FileListSha256") != nullptr;
  answer->fileListSha256 = Sha256HexOf(ReadJsonText(document, "FileListSha256"));
  answer->serial = ReleaseSerialOf(document);
  return true;
}
