#pragma once
// What the launcher's log says about the launcher, its settings, a refused version answer
// and the game's command line: never a value that could be secret (the page's parameter
// values carry tokens and the player's name).
#include <json/json.h>

#include <string>

#include "app/params.h"
#include "app/settings.h"
#include "update/release_signature.h"

// "launcher start: build <id>, platform <name>".
std::string StartLogLine();

// The settings file's path and the keys that change what the launcher does; of the
// release key only whether it is set.
std::string SettingsLogLine(const std::string& settingsPath, const std::string& gameRoot,
                            const LauncherSettings& settings);

// Why a version answer was refused: which check said no. `parsed` and `usable` are the
// outcomes of reading it as JSON and of its shape check; `history` is what the release
// check held the answer's serial and expiry to.
std::string VersionRefusalLogLine(bool parsed, bool usable, const std::string& publicKeyBase64,
                                  const Json::Value& answer, const ReleaseHistory& history);

// The game's command line with the page's parameter keys but none of their values.
std::string GameCommandLineForLog(const std::string& path, const ParamMap& params, const std::string& extraArgs);
