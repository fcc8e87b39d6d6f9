#include <windows.h>

#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include "links.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// The mount-point form of the reparse data buffer, which only the driver headers declare.
struct MountPointReparseBuffer {
  DWORD reparseTag;
  WORD reparseDataLength;
  WORD reserved;
  WORD substituteNameOffset;
  WORD substituteNameLength;
  WORD printNameOffset;
  WORD printNameLength;
  WCHAR pathBuffer[1];
};

// The reparse point itself must be there: a call that claims success without making
// one would let a test pass on a plain folder or file.
bool IsReparsePoint(const fs::path& path, DWORD directory = FILE_ATTRIBUTE_DIRECTORY) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) && (a & FILE_ATTRIBUTE_DIRECTORY) == directory;
}

bool MakeJunction(const fs::path& link, const fs::path& target) {
  const std::wstring printName = fs::absolute(target).wstring();
  const std::wstring substituteName = L"\\??\\" + printName;
  const std::size_t namesBytes = (substituteName.size() + 1 + printName.size() + 1) * sizeof(wchar_t);
  std::string buffer(offsetof(MountPointReparseBuffer, pathBuffer) + namesBytes, '\0');
  auto* data = reinterpret_cast<MountPointReparseBuffer*>(buffer.data());
  data->reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  data->reparseDataLength = static_cast<WORD>(buffer.size() - offsetof(MountPointReparseBuffer, substituteNameOffset));
  data->substituteNameLength = static_cast<WORD>(substituteName.size() * sizeof(wchar_t));
  data->printNameOffset = static_cast<WORD>((substituteName.size() + 1) * sizeof(wchar_t));
  data->printNameLength = static_cast<WORD>(printName.size() * sizeof(wchar_t));
  std::memcpy(data->pathBuffer, substituteName.c_str(), (substituteName.size() + 1) * sizeof(wchar_t));
  std::memcpy(reinterpret_cast<char*>(data->pathBuffer) + data->printNameOffset, printName.c_str(),
              (printName.size() + 1) * sizeof(wchar_t));

  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  const HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  const BOOL set = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                   nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  return set && IsReparsePoint(link);
}

bool MakeDirectorySymbolicLink(const fs::path& link, const fs::path& target) {
  const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  return CreateSymbolicLinkW(link.c_str(), fs::absolute(target).c_str(), flags) && IsReparsePoint(link);
}

bool MakeFileSymbolicLink(const fs::path& link, const fs::path& target) {
  return CreateSymbolicLinkW(link.c_str(), fs::absolute(target).c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
         IsReparsePoint(link, 0);
}

// Wine (8.0) makes neither of the two above and removes no folder link, but it shows a
// symbolic link of the system beneath it as a folder reparse point. That system's ln
// and rm make and remove one; Wine starts them as it starts Windows programs, though
// with no handle to wait on, so the caller waits for their effect instead.
using UnixFileName = char*(CDECL*)(LPCWSTR);

UnixFileName WineUnixFileName() {
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  return reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(found));
}

std::wstring QuotedUnixPath(UnixFileName unixFileName, const fs::path& path) {
  char* unixPath = unixFileName(fs::absolute(path).c_str());
  if (!unixPath) return {};
  const fs::path converted(reinterpret_cast<const char8_t*>(unixPath));
  HeapFree(GetProcessHeap(), 0, unixPath);
  return L"\"" + converted.wstring() + L"\"";
}

// Starts `commandLine` and waits, generously, until `done` holds.
bool RunHostCommand(std::wstring commandLine, const std::function<bool()>& done) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (const ULONGLONG deadline = GetTickCount64() + 30000; GetTickCount64() < deadline; Sleep(20)) {
    if (done()) return true;
  }
  return false;
}

bool MakeHostSymbolicLink(const fs::path& link, const fs::path& target) {
  const UnixFileName unixFileName = WineUnixFileName();
  if (!unixFileName) return false;
  return RunHostCommand(L"/bin/ln -s " + QuotedUnixPath(unixFileName, target) + L" " + QuotedUnixPath(unixFileName, link),
                        [&] { return IsReparsePoint(link); });
}

void RemoveHostSymbolicLink(const fs::path& link) {
  if (const UnixFileName unixFileName = WineUnixFileName()) {
    RunHostCommand(L"/bin/rm " + QuotedUnixPath(unixFileName, link),
                   [&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
  }
}

}  // namespace

std::vector<LinkKind> FolderLinkKinds() {
  return {{"Junction", &MakeJunction, nullptr},
          {"DirectorySymbolicLink", &MakeDirectorySymbolicLink, nullptr},
          {"WineHostSymbolicLink", &MakeHostSymbolicLink, &RemoveHostSymbolicLink}};
}

std::vector<LinkKind> FileLinkKinds() { return {{"FileSymbolicLink", &MakeFileSymbolicLink, nullptr}}; }

}  // namespace testing_support
