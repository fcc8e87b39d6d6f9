#pragma once
// Injected file-system faults, for tests: the tests run as root, for whom permissions
// never make a file operation fail, so the failure paths are reached through here.
// Both platform backends consult this before each operation.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::fault {

enum class Op { Open, Create, Read, Write, Remove, RemoveFolder, MakeFolder, ClearReadOnly, SetTimes, Replace };

// Makes every later `op` on a path that contains `pathPart` fail, until Clear().
void Inject(Op op, std::string pathPart);
// Makes every later `op` on a path that contains `pathPart` wait, before any injected
// failure applies, until Release() or Clear() (or ten seconds, so that a test's fault
// cannot hang its suite): a test can keep an operation going while others proceed.
void Hold(Op op, std::string pathPart);
// Lets every held operation go on.
void Release();
// Makes FreeDiskSpace answer at most `bytes` on every volume, until Clear().
void LimitFreeSpace(std::uint64_t bytes);
// Lifts every injected fault, hold and the free-space limit.
void Clear();
// Whether `op` on `path` must fail. Cheap when nothing is injected.
bool Hit(Op op, std::string_view path);
bool Hit(Op op, const std::wstring& path);
// The free space a volume reports, lowered to the limit when one is set.
std::uint64_t LimitedFreeSpace(std::uint64_t real);

}  // namespace platform::fault
