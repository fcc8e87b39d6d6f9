#include "app/release_signature.h"

#include <cctype>
#include <cstring>
#include <optional>

#include "app/base64.h"
#include "platform/signature.h"

namespace {

constexpr std::size_t kSha256HexSize = 64;

const Json::Value* FindKey(const Json::Value& document, const char* key) {
  return document.isObject() ? document.find(key, key + std::strlen(key)) : nullptr;
}

// A text field without line feeds; "" when absent or null, nothing when of another kind.
std::optional<std::string> LineOf(const Json::Value& answer, const char* key) {
  const Json::Value* value = FindKey(answer, key);
  if (!value || value->isNull()) return std::string();
  if (!value->isString()) return std::nullopt;
  std::string text = value->asString();
  if (text.find('\n') != std::string::npos) return std::nullopt;
  return text;
}

// 64 hexadecimal digits in lower case; "" when absent or null, nothing when of another form.
std::optional<std::string> Sha256LineOf(const Json::Value& answer, const char* key) {
  std::optional<std::string> hash = LineOf(answer, key);
  if (!hash || hash->empty()) return hash;
  if (hash->size() != kSha256HexSize) return std::nullopt;
  for (char& c : *hash) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hash;
}

// A whole, non-negative number of bytes in decimal; empty otherwise.
std::string SizeLineOf(const Json::Value& answer, const char* key) {
  const Json::Value* value = FindKey(answer, key);
  if (!value || !value->isIntegral() || !value->isInt64() || value->asInt64() < 0) return "";
  return std::to_string(value->asInt64());
}

}  // namespace

std::string SignedReleaseMessage(const Json::Value& answer) {
  const std::optional<std::string> version = LineOf(answer, "Version");
  const std::optional<std::string> packageUrl = LineOf(answer, "PackageUrl");
  const std::string size = SizeLineOf(answer, "PackageSize");
  const std::optional<std::string> packageHash = Sha256LineOf(answer, "PackageSha256");
  const std::optional<std::string> fileListHash = Sha256LineOf(answer, "FileListSha256");
  if (!version || !packageUrl || size.empty() || !packageHash || packageHash->empty() || !fileListHash) return "";
  return *version + '\n' + *packageUrl + '\n' + size + '\n' + *packageHash + '\n' + *fileListHash + '\n';
}

bool IsAcceptableVersionAnswer(const std::string& publicKeyBase64, const Json::Value& answer) {
  if (publicKeyBase64.empty()) return true;
  const std::string message = SignedReleaseMessage(answer);
  const std::optional<std::string> signatureText = LineOf(answer, "Signature");
  std::string publicKey;
  std::string signature;
  if (message.empty() || !signatureText || !DecodeBase64(publicKeyBase64, &publicKey) ||
      !DecodeBase64(*signatureText, &signature)) {
    return false;
  }
  return platform::VerifyEcdsaP256Sha256(publicKey, message, signature);
}
