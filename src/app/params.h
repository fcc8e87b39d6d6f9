#pragma once
// The page's parameter string and the game's command line.
#include <map>
#include <string>
#include <vector>

// Keys unique, in ascending byte order.
using ParamMap = std::map<std::string, std::string>;

// Splits `text` at every `separator`, keeping empty tokens (a trailing one too).
// Empty text gives no token; an empty separator gives the text as the only token.
void SplitString(const std::string& text, const std::string& separator, std::vector<std::string>& out);

// Fills `params` from "key=value" pieces joined by "&"; a later key wins, parts after
// the second "=" are ignored, pieces without "=" are skipped, nothing is decoded.
void ParseParams(const std::string& text, ParamMap& params);

// Every entry as key=value in key order, joined by "&".
std::string JoinParams(const ParamMap& params);

// `delimiter` + text + `delimiter`. With the double quote as delimiter the text is
// escaped by the Windows argument rules when it holds a double quote or ends in a
// backslash, so that it always arrives as exactly one argument with its exact text;
// other texts are quoted unchanged. A text ends at its first NUL (the command line
// is a C string, so what follows could not arrive anyway).
std::string Quote(const std::string& text, char delimiter = '"');

// The game's arguments after its path: -AppUniqueId "user" -PCORVO "joined" "extra".
std::string GameArguments(const std::string& user, const std::string& joinedParams, const std::string& extraArgs);

// The whole command line: the quoted path, a space and the arguments.
std::string GameCommandLine(const std::string& path, const std::string& arguments);
