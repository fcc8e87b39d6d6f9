#include "app/launch_log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LaunchLog, GameCommandLineHasThePageKeysButNoneOfTheirValues) {
  ParamMap params;
  ParseParams("username=alice-the-player&token=tok-secret-123&server=7", params);
  const std::string line = GameCommandLineForLog("/games/Client/game", params, "-windowed");
  for (const char* key : {"username", "token", "server", "-windowed", "/games/Client/game"}) {
    EXPECT_NE(line.find(key), std::string::npos) << key << " missing from " << line;
  }
  for (const char* value : {"alice-the-player", "tok-secret-123", "=7"}) {
    EXPECT_EQ(line.find(value), std::string::npos) << value << " logged in " << line;
  }
}

TEST(LaunchLog, SettingsLineTellsWhetherTheReleaseKeyIsSetButNotTheKey) {
  Json::Value settings;
  settings["BaseDir"] = "Client";
  settings["IncrementalUpdate"] = 1;
  settings["ReleasePublicKey"] = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEkeyMaterial";
  const std::string line = SettingsLogLine("/opt/launcher/Setting.json", ".", SettingsFromJson(settings));
  EXPECT_EQ(line,
            "settings /opt/launcher/Setting.json: BaseDir \"Client\", IncrementalUpdate 1, VerifyTls 0, "
            "ReleasePublicKey set; game root .");
  settings.removeMember("ReleasePublicKey");
  EXPECT_NE(SettingsLogLine("Setting.json", ".", SettingsFromJson(settings)).find("ReleasePublicKey not set"), std::string::npos);
}

TEST(LaunchLog, VersionRefusalNamesTheCheck) {
  Json::Value unsignedAnswer;
  unsignedAnswer["Version"] = "1.0";
  unsignedAnswer["PackageUrl"] = "http://127.0.0.1/client.zip";
  Json::Value withoutSignature = unsignedAnswer;
  withoutSignature["PackageSize"] = 10;
  withoutSignature["PackageSha256"] = std::string(64, 'a');
  Json::Value badSignature = withoutSignature;
  badSignature["Signature"] = "AAAA";
  Json::Value replayed = badSignature;
  replayed["Serial"] = 3;
  Json::Value expired = badSignature;
  expired["Expires"] = "2020-01-01T00:00:00Z";
  Json::Value garbledExpiry = badSignature;
  garbledExpiry["Expires"] = "soon";
  struct Case {
    bool parsed;
    bool usable;
    const char* key;
    Json::Value answer;
    const char* says;
    std::int64_t highestSerial = 0;
  };
  const Case cases[] = {
      {false, false, "", Json::Value(), "it is not JSON"},
      {true, false, "", Json::Value(), "no object with texts"},
      {true, true, "KEY", unsignedAnswer, "PackageSize, PackageSha256"},
      {true, true, "KEY", withoutSignature, "carries no Signature"},
      {true, true, "KEY", badSignature, "does not verify with ReleasePublicKey"},
      {true, true, "KEY", replayed, "below one already seen", 5},
      {true, true, "KEY", expired, "it expired"},
      {true, true, "KEY", garbledExpiry, "not a UTC time"},
  };
  for (const Case& c : cases) {
    const std::string line = VersionRefusalLogLine(c.parsed, c.usable, c.key, c.answer, {c.highestSerial, 1796860800});
    EXPECT_EQ(line.rfind("version answer refused: ", 0), 0u) << line;
    EXPECT_NE(line.find(c.says), std::string::npos) << line;
  }
}

}  // namespace
