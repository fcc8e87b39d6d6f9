#include <windows.h>

#include <algorithm>

#include "platform/codepage.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/path.h"

namespace platform {
namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

FILETIME ToFiletime(FileTime time) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return ft;
}

struct SearchState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data{};
  bool pending = false;  // `data` holds an entry not yet handed out
};

// Another program holds the file open without sharing what we ask for.
bool IsSharingViolation(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

// The same, or it is deleting the file, which answers access denied until its last
// handle goes.
bool IsHeld(DWORD error) { return IsSharingViolation(error) || error == ERROR_ACCESS_DENIED; }

// Runs `attempt`, a Win32 call that sets the last error when it fails. While a
// HeldFileWait lives, a failure that `held` takes for a hold is tried again after a
// growing pause, until it works or the hold has outlasted the limit; the last failure's
// error stays the last error.
template <typename Attempt>
bool WaitingOutHolds(Attempt attempt, bool (*held)(DWORD) = IsHeld) {
  if (attempt()) return true;
  DWORD error = GetLastError();
  if (!HeldFileWait::IsActive()) return false;
  const ULONGLONG deadline = GetTickCount64() + HeldFileWait::kLimit.count();
  DWORD pause = 20;
  while (held(error) && GetTickCount64() < deadline) {
    Sleep(pause);
    pause = std::min<DWORD>(pause * 2, 250);
    if (attempt()) return true;
    error = GetLastError();
  }
  SetLastError(error);
  return false;
}

// The Win32 calls on files, each waiting out holds as WaitingOutHolds says.
HANDLE CreateFileWaiting(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                         DWORD disposition, DWORD flags, HANDLE templateFile) {
  HANDLE file = INVALID_HANDLE_VALUE;
  const bool opened = WaitingOutHolds([&] {
    file = CreateFileW(path, access, share, security, disposition, flags, templateFile);
    return file != INVALID_HANDLE_VALUE;
  });
  return opened ? file : INVALID_HANDLE_VALUE;
}

bool DeleteFileWaiting(const wchar_t* path) {
  return WaitingOutHolds([path] { return DeleteFileW(path) != 0; });
}

bool RemoveDirectoryWaiting(const wchar_t* path) {
  return WaitingOutHolds([path] { return RemoveDirectoryW(path) != 0; });
}

bool MoveFileExWaiting(const char* from, const char* to, DWORD flags) {
  return WaitingOutHolds([&] { return MoveFileExA(from, to, flags) != 0; });
}

}  // namespace

File File::OpenRead(const std::wstring& path) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::Open, path)) return File();
  HANDLE h = CreateFileWaiting(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return File();
  File file(reinterpret_cast<std::intptr_t>(h));
  file.failReads_ = fault::Hit(fault::Op::Read, path);
  return file;
}

File File::Create(const std::wstring& path, std::uint32_t attributes, std::uint32_t) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::Create, path)) return File();
  const DWORD existing = GetFileAttributesW(path.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT)) return File();
  DWORD flags = attributes ? attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY) : FILE_ATTRIBUTE_NORMAL;
  if (flags == 0) flags = FILE_ATTRIBUTE_NORMAL;
  // A link made after the look above is opened as itself, and refused below.
  HANDLE h = CreateFileWaiting(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return File();
  BY_HANDLE_FILE_INFORMATION opened{};
  if (!GetFileInformationByHandle(h, &opened) || (opened.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    return File();
  }
  File file(reinterpret_cast<std::intptr_t>(h));
  file.failWrites_ = fault::Hit(fault::Op::Write, path);
  return file;
}

bool File::Read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  *bytesRead = 0;
  if (!IsOpen() || failReads_) return false;
  DWORD n = 0;
  if (!ReadFile(H(handle_), buffer, size, &n, nullptr)) return false;
  *bytesRead = n;
  return true;
}

bool File::Write(const void* data, std::uint32_t size) {
  if (!IsOpen() || failWrites_) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    if (!WriteFile(H(handle_), p, size, &n, nullptr) || n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

bool File::Seek(std::int64_t offset, SeekOrigin origin, std::int64_t* position) {
  if (!IsOpen()) return false;
  const DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN : origin == SeekOrigin::Current ? FILE_CURRENT : FILE_END;
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(H(handle_), static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  if (position) *position = (static_cast<std::int64_t>(high) << 32) | low;
  return true;
}

bool File::SetTimes(const FileTime* creation, const FileTime* access, const FileTime* write) {
  if (!IsOpen()) return false;
  FILETIME c, a, w;
  if (creation) c = ToFiletime(*creation);
  if (access) a = ToFiletime(*access);
  if (write) w = ToFiletime(*write);
  return SetFileTime(H(handle_), creation ? &c : nullptr, access ? &a : nullptr, write ? &w : nullptr) != 0;
}

void File::Close() noexcept {
  if (IsOpen()) CloseHandle(H(handle_));
  handle_ = kInvalid;
}

bool QueryAttributes(const std::wstring& path, std::uint32_t* attributes) {
  if (!FitsMaxPath(path)) return false;
  const DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = a;
  return true;
}

bool QueryAttributes(const std::string& path, std::uint32_t* attributes) {
  if (!FitsMaxPath(path)) return false;
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = a;
  return true;
}

bool IsLink(const std::string& path) {
  if (!FitsMaxPath(path)) return false;
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeFolder(const std::wstring& path) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::MakeFolder, path)) return false;
  return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool MakeFolder(const std::string& path) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::MakeFolder, path)) return false;
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

NativePath NativePath::FromAnsi(const std::string& path) { return NativePath(NarrowToWide(path, CodePage::Ansi)); }

NativePath NativePath::FromWide(const std::wstring& path) { return NativePath(path); }

std::string NativePath::ToUtf8() const { return WideToNarrow(units_, CodePage::Utf8); }

bool RemoveFile(const NativePath& path) {
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::Remove, path.units())) return false;
  return DeleteFileWaiting(path.units().c_str());
}

bool RemoveFolder(const NativePath& path) {
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::RemoveFolder, path.units())) return false;
  return RemoveDirectoryWaiting(path.units().c_str());
}

bool RemoveLink(const NativePath& path) {
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::Remove, path.units())) return false;
  // Both calls act on the reparse point itself: a folder link goes as a folder, a file
  // link as a file, and the target stays.
  const DWORD a = GetFileAttributesW(path.units().c_str());
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryWaiting(path.units().c_str())
                                        : DeleteFileWaiting(path.units().c_str());
}

bool ClearReadOnly(const NativePath& path) {
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::ClearReadOnly, path.units())) return false;
  const DWORD a = GetFileAttributesW(path.units().c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  if (!(a & FILE_ATTRIBUTE_READONLY)) return true;
  return SetFileAttributesW(path.units().c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != 0;
}

bool QueryFileSize(const std::string& path, std::uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!FitsMaxPath(path) || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool CanReplaceFile(const std::string& path) {
  if (!FitsMaxPath(path)) return false;
  // Asking for write and delete access with everything shared fails only while another
  // program holds the file without sharing them; a read-only file is replaced anyway.
  const DWORD everyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = INVALID_HANDLE_VALUE;
  const auto open = [&] {
    file = CreateFileA(path.c_str(), GENERIC_WRITE | DELETE, everyone, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    return file != INVALID_HANDLE_VALUE;
  };
  // A read-only file answers access denied at once, and is no hold.
  if (WaitingOutHolds(open, IsSharingViolation)) {
    CloseHandle(file);
    return true;
  }
  return !IsSharingViolation(GetLastError());
}

bool RenameOver(const std::string& from, const std::string& to) {
  if (!FitsMaxPath(from) || !FitsMaxPath(to) || fault::Hit(fault::Op::Replace, to)) return false;
  return MoveFileExWaiting(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void ReleaseSearch(void*& opaque) {
  auto* state = static_cast<SearchState*>(opaque);
  if (state && state->handle != INVALID_HANDLE_VALUE) FindClose(state->handle);
  delete state;
  opaque = nullptr;
}

FolderSearch::~FolderSearch() { ReleaseSearch(state_); }

bool FolderSearch::Open(const NativePath& folder) {
  ReleaseSearch(state_);
  const NativePath pattern = folder.Join(NativePath(L"*.*"));
  if (!pattern.FitsMaxPath()) return false;
  auto* state = new SearchState;
  state->handle = FindFirstFileW(pattern.units().c_str(), &state->data);
  if (state->handle == INVALID_HANDLE_VALUE) {
    delete state;
    return false;
  }
  state->pending = true;
  state_ = state;
  return true;
}

bool FolderSearch::Next(FolderEntry* entry) {
  auto* state = static_cast<SearchState*>(state_);
  if (!state) return false;
  if (!state->pending && !FindNextFileW(state->handle, &state->data)) return false;
  state->pending = false;
  const DWORD a = state->data.dwFileAttributes;
  entry->name = NativePath(state->data.cFileName);
  // Any reparse point counts as a link: what stands behind it is not ours to empty.
  entry->isLink = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  entry->isFolder = !entry->isLink && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

}  // namespace platform
