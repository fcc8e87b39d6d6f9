#include "app/launch_log.h"

#include "platform/os.h"
#include "update/release_signature.h"

std::string StartLogLine() {
  return std::string("launcher start: build ") + LAUNCHER_BUILD_ID + ", platform " + platform::OsName();
}

std::string SettingsLogLine(const std::string& settingsPath, const std::string& gameRoot,
                            const LauncherSettings& settings) {
  return "settings " + settingsPath + ": BaseDir \"" + settings.update.baseDir + "\", IncrementalUpdate " +
         std::to_string(settings.incrementalUpdate) + ", VerifyTls " + std::to_string(settings.verifyTls) +
         ", ReleasePublicKey " + (settings.update.releasePublicKey.empty() ? "not set" : "set") + "; game root " +
         gameRoot;
}

std::string VersionRefusalLogLine(bool parsed, bool usable, const std::string& publicKeyBase64,
                                  const Json::Value& answer, const ReleaseHistory& history) {
  const char* reason = "the release signature check refused it: its Signature does not verify with ReleasePublicKey";
  if (!parsed) {
    reason = "it is not JSON";
  } else if (!usable) {
    reason = "it is no object with texts for Version, PackageUrl and ReportOperationUrl";
  } else if (publicKeyBase64.empty()) {
    reason = "no check refused it";
  } else if (SignedReleaseMessage(answer).empty()) {
    reason =
        "the release signature check refused it: PackageSize, PackageSha256 or a signed field is missing or malformed";
  } else if (!answer["Signature"].isString()) {
    reason = "the release signature check refused it: the answer carries no Signature";
  } else if (history.highestSerial > 0 && ReleaseSerialOf(answer) < history.highestSerial) {
    reason = "its Serial is below one already seen (an older release replayed), or missing";
  } else if (answer.isMember("Expires")) {
    std::int64_t expires = 0;
    if (!answer["Expires"].isString() || !ParseUtcTime(answer["Expires"].asString(), &expires)) {
      reason = "its Expires is not a UTC time";
    } else if (expires < history.now) {
      reason = "it expired";
    }
  }
  return std::string("version answer refused: ") + reason;
}

std::string GameCommandLineForLog(const std::string& path, const ParamMap& params, const std::string& extraArgs) {
  ParamMap keys;
  for (const auto& entry : params) keys.emplace(entry.first, "");
  return "game command line: " + GameCommandLine(path, GameArguments("", JoinParams(keys), extraArgs));
}
