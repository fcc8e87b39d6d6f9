#include "update/release_signature.h"

#include <cctype>
#include <optional>

#include "platform/signature.h"
#include "store/json_file.h"
#include "update/base64.h"
#include "update/file_list.h"

namespace {

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
  const std::optional<std::string> line = LineOf(answer, key);
  if (!line || line->empty()) return line;
  std::string hash = Sha256HexOf(*line);
  if (hash.empty()) return std::nullopt;
  return hash;
}

// A positive integer in decimal; "" when absent or null, nothing when of another form.
std::optional<std::string> SerialLineOf(const Json::Value& answer, const char* key) {
  const Json::Value* value = FindKey(answer, key);
  if (!value || value->isNull()) return std::string();
  if (!value->isIntegral() || !value->isInt64() || value->asInt64() <= 0) return std::nullopt;
  return std::to_string(value->asInt64());
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

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
  const std::optional<std::string> reportUrl = LineOf(answer, "ReportOperationUrl");
  const std::optional<std::string> serial = SerialLineOf(answer, "Serial");
  const std::optional<std::string> expires = LineOf(answer, "Expires");
  if (!version || !packageUrl || size.empty() || !packageHash || packageHash->empty() || !fileListHash ||
      !reportUrl || !serial || !expires) {
    return "";
  }
  return *version + '\n' + *packageUrl + '\n' + size + '\n' + *packageHash + '\n' + *fileListHash + '\n' +
         *reportUrl + '\n' + *serial + '\n' + *expires + '\n';
}

bool IsAcceptableVersionAnswer(const std::string& publicKeyBase64, const Json::Value& answer,
                               const ReleaseHistory& history) {
  if (publicKeyBase64.empty()) return true;
  const std::string message = SignedReleaseMessage(answer);
  const std::optional<std::string> signatureText = LineOf(answer, "Signature");
  std::string publicKey;
  std::string signature;
  if (message.empty() || !signatureText || !DecodeBase64(publicKeyBase64, &publicKey) ||
      !DecodeBase64(*signatureText, &signature) ||
      !platform::VerifyEcdsaP256Sha256(publicKey, message, signature)) {
    return false;
  }
  // An equal serial is the same release served again; a lower one, or none once serials
  // are in use, is an older answer replayed.
  const std::int64_t serial = ReleaseSerialOf(answer);
  if (serial < history.highestSerial) return false;
  // SignedReleaseMessage has checked that an Expires present is a text without line feeds.
  const std::string expires = LineOf(answer, "Expires").value_or("");
  if (expires.empty()) return true;
  std::int64_t expiry = 0;
  return ParseUtcTime(expires, &expiry) && history.now <= expiry;
}

std::int64_t ReleaseSerialOf(const Json::Value& answer) {
  const Json::Value* value = FindKey(answer, "Serial");
  if (!value || !value->isIntegral() || !value->isInt64() || value->asInt64() <= 0) return 0;
  return value->asInt64();
}

bool ParseUtcTime(const std::string& text, std::int64_t* seconds) {
  static constexpr char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof(kForm) - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return false;
  }
  const auto number = [&text](std::size_t at, std::size_t length) {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4);
  const int month = number(5, 2);
  const int day = number(8, 2);
  const int hour = number(11, 2);
  const int minute = number(14, 2);
  const int second = number(17, 2);
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  if (day > kMonthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0)) return false;
  *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}
