#pragma once
// Injected file-system faults, for tests: the tests run as root, for whom permissions
// never make a file operation fail, so the failure paths are reached through here.
// Both platform backends consult this before each operation.
#include <string>
#include <string_view>

namespace platform::fault {

enum class Op { Open, Create, Read, Write, Remove, RemoveFolder, MakeFolder, ClearReadOnly, SetTimes, Replace };

// Makes every later `op` on a path that contains `pathPart` fail, until Clear().
void Inject(Op op, std::string pathPart);
void Clear();
// Whether `op` on `path` must fail. Cheap when nothing is injected.
bool Hit(Op op, std::string_view path);
bool Hit(Op op, const std::wstring& path);

}  // namespace platform::fault
