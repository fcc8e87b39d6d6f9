#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/codepage.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/path.h"

namespace platform {
namespace {

std::string ToPath(const std::wstring& path) { return WideToNarrow(path, CodePage::Utf8); }

// A native path holds one byte per unit here.
std::string Bytes(const NativePath& path) {
  std::string bytes;
  for (const wchar_t unit : path.units()) bytes += static_cast<char>(unit);
  return bytes;
}

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;

timespec ToTimespec(FileTime time) {
  const std::int64_t ticks = static_cast<std::int64_t>(time);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ticks / 10000000 - kEpochDifference);
  ts.tv_nsec = static_cast<long>((ticks % 10000000) * 100);
  return ts;
}

std::uint32_t AttributesOf(const struct stat& st) {
  std::uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= kAttributeDirectory;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= kAttributeReadOnly;
  return attributes ? attributes : kAttributeNormal;
}

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

File File::OpenRead(const std::wstring& path) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::Open, path)) return File();
  const int fd = open(ToPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return File();
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return File();
  }
  File file(fd);
  file.failReads_ = fault::Hit(fault::Op::Read, path);
  return file;
}

File File::Create(const std::wstring& path, std::uint32_t attributes, std::uint32_t posixMode) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::Create, path)) return File();
  mode_t mode = posixMode & 0777;
  if (mode == 0) mode = (attributes & kAttributeReadOnly) ? 0444 : 0644;
  const std::string narrow = ToPath(path);
  const int fd = open(narrow.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return File();
  fchmod(fd, mode);  // the process umask must not change what the package asked for
  File file(fd);
  file.failWrites_ = fault::Hit(fault::Op::Write, path);
  return file;
}

bool File::Read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
  *bytesRead = 0;
  if (!IsOpen() || failReads_) return false;
  ssize_t n;
  do {
    n = read(Fd(handle_), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  *bytesRead = static_cast<std::uint32_t>(n);
  return true;
}

bool File::Write(const void* data, std::uint32_t size) {
  if (!IsOpen() || failWrites_) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(Fd(handle_), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::uint32_t>(n);
  }
  return true;
}

bool File::Seek(std::int64_t offset, SeekOrigin origin, std::int64_t* position) {
  if (!IsOpen()) return false;
  const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
  const off_t result = lseek(Fd(handle_), static_cast<off_t>(offset), whence);
  if (result < 0) return false;
  if (position) *position = result;
  return true;
}

bool File::SetTimes(const FileTime*, const FileTime* access, const FileTime* write) {
  if (!IsOpen()) return false;
  timespec times[2];
  times[0] = access ? ToTimespec(*access) : timespec{0, UTIME_OMIT};
  times[1] = write ? ToTimespec(*write) : timespec{0, UTIME_OMIT};
  return futimens(Fd(handle_), times) == 0;
}

void File::Close() noexcept {
  if (IsOpen()) close(Fd(handle_));
  handle_ = kInvalid;
}

bool QueryAttributes(const std::string& path, std::uint32_t* attributes) {
  struct stat st {};
  if (!FitsMaxPath(path) || stat(path.c_str(), &st) != 0) return false;
  *attributes = AttributesOf(st);
  return true;
}

bool QueryAttributes(const std::wstring& path, std::uint32_t* attributes) {
  return FitsMaxPath(path) && QueryAttributes(ToPath(path), attributes);
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return FitsMaxPath(path) && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool MakeFolder(const std::string& path) {
  if (!FitsMaxPath(path) || fault::Hit(fault::Op::MakeFolder, path)) return false;
  return mkdir(path.c_str(), 0755) == 0;
}

bool MakeFolder(const std::wstring& path) { return FitsMaxPath(path) && MakeFolder(ToPath(path)); }

NativePath NativePath::FromAnsi(const std::string& path) {
  std::wstring units;
  for (const char c : path) units += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return NativePath(std::move(units));
}

NativePath NativePath::FromWide(const std::wstring& path) { return FromAnsi(ToPath(path)); }

std::string NativePath::ToUtf8() const { return Bytes(*this); }

bool RemoveFile(const NativePath& path) {
  const std::string bytes = Bytes(path);
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::Remove, bytes)) return false;
  return unlink(bytes.c_str()) == 0;
}

bool RemoveFolder(const NativePath& path) {
  const std::string bytes = Bytes(path);
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::RemoveFolder, bytes)) return false;
  return rmdir(bytes.c_str()) == 0;
}

bool RemoveLink(const NativePath& path) {
  const std::string bytes = Bytes(path);
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::Remove, bytes)) return false;
  struct stat st {};
  return lstat(bytes.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && unlink(bytes.c_str()) == 0;
}

bool ClearReadOnly(const NativePath& path) {
  const std::string bytes = Bytes(path);
  if (!path.FitsMaxPath() || fault::Hit(fault::Op::ClearReadOnly, bytes)) return false;
  struct stat st {};
  if (lstat(bytes.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR)) return true;
  return chmod(bytes.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool QueryFileSize(const std::string& path, std::uint64_t* size) {
  struct stat st {};
  if (!FitsMaxPath(path) || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool CanReplaceFile(const std::string&) { return true; }

bool RenameOver(const std::string& from, const std::string& to) {
  if (!FitsMaxPath(from) || !FitsMaxPath(to) || fault::Hit(fault::Op::Replace, to)) return false;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

FolderSearch::~FolderSearch() {
  if (state_) closedir(static_cast<DIR*>(state_));
}

bool FolderSearch::Open(const NativePath& folder) {
  if (state_) closedir(static_cast<DIR*>(state_));
  state_ = nullptr;
  if (!folder.FitsMaxPath()) return false;
  state_ = opendir(Bytes(folder).c_str());
  return state_ != nullptr;
}

bool FolderSearch::Next(FolderEntry* entry) {
  if (!state_) return false;
  DIR* dir = static_cast<DIR*>(state_);
  const dirent* d = readdir(dir);
  if (!d) return false;
  entry->name = NativePath::FromAnsi(d->d_name);
  unsigned char type = d->d_type;
  if (type == DT_UNKNOWN) {
    struct stat st {};
    if (fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) type = IFTODT(st.st_mode);
  }
  entry->isFolder = type == DT_DIR;
  entry->isLink = type == DT_LNK;
  return true;
}

}  // namespace platform
