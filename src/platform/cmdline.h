#pragma once
#include <string>
#include <vector>

namespace platform {

// Splits a command line into arguments by the rules the Windows C runtime applies
// to a program's command line: the first argument ends at the first space or tab
// (or closing quote, when it starts quoted) with no escapes; in the others 2n
// backslashes before a quote give n backslashes and open or close quoting, 2n+1
// give n backslashes and a literal quote, and "" inside quoting gives a quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace platform
