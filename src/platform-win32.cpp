// The platform layer on Windows, through the Win32 file interface (and
// ntdll's NtReadFile/NtWriteFile for file data).
//
// Paths travel through the agent as UTF-8 and become UTF-16 here only. HOME
// and other system text may hold unpaired surrogates; they are kept in the
// generalized form of UTF-8, so such a path reaches the system unchanged.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <fcntl.h>
#include <io.h>
#include <ntstatus.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform-win32.h"
#include "platform.h"
#include "path.h"

// ntdll's file data calls; winternl.h does not declare them.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                     PULONG key);
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                      PIO_STATUS_BLOCK io, const VOID* buffer, ULONG length, PLARGE_INTEGER offset,
                                      PULONG key);

namespace brevok {

namespace {

// FILETIME ticks (100 ns since 1601-01-01) at the Unix epoch.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;

// One NtReadFile/NtWriteFile call moves at most this much (its length is a
// 32-bit count).
constexpr std::size_t kMaxIoCall = std::size_t(1) << 30;

using win32::fail_with;
using win32::kOpenFlags;
using win32::open_handle;
using win32::set_attributes;
using win32::UniqueHandle;
using win32::last_error;
using win32::names_a_device;

std::unexpected<Error> status_error(NTSTATUS status) { return fail_with(::RtlNtStatusToDosError(status)); }

HANDLE as_handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

std::int64_t unix_ns(const FILETIME& ft) {
  std::int64_t ticks =
      static_cast<std::int64_t>((std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) -
      static_cast<std::int64_t>(kUnixEpochTicks);
  constexpr std::int64_t kLimit = INT64_MAX / 100;
  return std::clamp(ticks, -kLimit, kLimit) * 100;
}

// Metadata of an open handle. Only a file on a disk volume has more to tell
// than that it is not a regular file.
Result<FileMeta> meta_of(HANDLE h) {
  FileMeta meta;
  ::SetLastError(ERROR_SUCCESS);
  DWORD type = ::GetFileType(h);
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != ERROR_SUCCESS) return last_error();
  if (type != FILE_TYPE_DISK) return meta;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return last_error();
  meta.is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  meta.is_regular = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  meta.size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  meta.permissions = info.dwFileAttributes;
  meta.device = info.dwVolumeSerialNumber;
  meta.inode = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  meta.modified_ns = unix_ns(info.ftLastWriteTime);
  // The change time, which moves with every write even where the last
  // write time is set back; 0 where the file system keeps none.
  FILE_BASIC_INFO basic;
  if (::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
    meta.changed_ns = unix_ns(FILETIME{static_cast<DWORD>(basic.ChangeTime.LowPart),
                                       static_cast<DWORD>(basic.ChangeTime.HighPart)});
  }
  return meta;
}

// The I/O calls complete before they return on handles opened without
// FILE_FLAG_OVERLAPPED; a pending answer is waited out all the same.
NTSTATUS finish_io(HANDLE file, NTSTATUS status, const IO_STATUS_BLOCK& io) {
  if (status == STATUS_PENDING) {
    ::WaitForSingleObject(file, INFINITE);
    status = io.Status;
  }
  return status;
}

Result<void> write_handle_all(HANDLE h, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD n = 0;
    if (!::WriteFile(h, data, static_cast<DWORD>(std::min(size, kMaxIoCall)), &n, nullptr)) return last_error();
    if (n == 0) return std::unexpected<Error>(Error::os("write accepted zero bytes"));
    data += n;
    size -= n;
  }
  return {};
}

// Whether `path` names an existing directory.
bool is_directory(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates one directory; one that is already there is fine.
DWORD create_one_directory(const std::wstring& path) {
  if (::CreateDirectoryW(path.c_str(), nullptr)) return ERROR_SUCCESS;
  DWORD err = ::GetLastError();
  // A drive's root or a directory we may not create in still counts when
  // it exists; the error stands only when nothing usable is there.
  if (err != ERROR_PATH_NOT_FOUND && is_directory(path)) return ERROR_SUCCESS;
  return err;
}


class Win32Platform final : public Platform {
 public:
  Win32Platform() {
    // Bytes pass through unchanged: no CR LF or Ctrl-Z translation, should
    // anything ever use the C runtime's streams.
    for (std::FILE* stream : {stdin, stdout, stderr}) {
      int fd = ::_fileno(stream);
      if (fd >= 0) ::_setmode(fd, _O_BINARY);
    }
  }

  Result<std::size_t> read_stdin(char* buf, std::size_t size) override {
    DWORD n = 0;
    if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buf, static_cast<DWORD>(std::min(size, kMaxIoCall)), &n,
                    nullptr)) {
      DWORD err = ::GetLastError();
      // The writing end of a pipe was closed: that is the end of the input.
      if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return 0;
      return fail_with(err);
    }
    return n;
  }

  Result<void> write_stdout(const char* data, std::size_t size) override {
    return write_handle_all(::GetStdHandle(STD_OUTPUT_HANDLE), data, size);
  }
  Result<void> write_stderr(const char* data, std::size_t size) override {
    return write_handle_all(::GetStdHandle(STD_ERROR_HANDLE), data, size);
  }

  std::optional<std::string> home() override {
    std::wstring value(256, L'\0');
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      DWORD n = ::GetEnvironmentVariableW(L"HOME", value.data(), static_cast<DWORD>(value.size()));
      if (n == 0) {
        // 0 is both "not set" and "set but empty"; the error tells them apart.
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
      }
      if (n < value.size()) {
        value.resize(n);
        break;
      }
      value.resize(n);  // n counts the terminating zero here
    }
    return win32::utf16_to_utf8(value, true);
  }

  std::uint32_t process_id() override { return ::GetCurrentProcessId(); }

  std::uint64_t now_ns() override {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    std::uint64_t ticks = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks < kUnixEpochTicks) return 0;
    return (ticks - kUnixEpochTicks) * 100;
  }

  Result<FileMeta> stat(const NativePath& path) {
    auto wide = win32::system_path(path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    if (names_a_device(*wide)) return FileMeta{};
    // Backup semantics opens directories too; without
    // FILE_FLAG_OPEN_REPARSE_POINT the open follows symbolic links.
    UniqueHandle h = open_handle(*wide, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
    if (!h) return last_error();
    return meta_of(h.get());
  }

  Result<FileMeta> stat_handle(FileHandle file) override { return meta_of(as_handle(file)); }

  Result<void> create_directories(const NativePath& path) {
    if (path.empty()) return {};
    // Climb while the parent is missing, then create downwards. Roots
    // (drives, shares) are never created: their parent is themselves.
    std::vector<std::wstring> missing;
    std::string_view current = path;
    for (;;) {
      auto wide = win32::system_path(current);
      if (!wide) return std::unexpected(std::move(wide.error()));
      DWORD err = create_one_directory(*wide);
      if (err == ERROR_SUCCESS) break;
      std::string_view parent = path_parent(current, PathStyle::kWindows);
      if (err != ERROR_PATH_NOT_FOUND || parent.empty() || parent.size() >= current.size()) return fail_with(err);
      missing.push_back(std::move(*wide));
      current = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (DWORD err = create_one_directory(*it); err != ERROR_SUCCESS) return fail_with(err);
    }
    return {};
  }

  // Shared for reading and for the rename or removal by name that ends
  // it, never for writing; a new file's access list is what its directory
  // passes on. Kept open through the rename, for the read-back.
  Result<FileHandle> create_exclusive(const NativePath& path) {
    auto wide = win32::system_path(path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    HANDLE h = ::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | kOpenFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    return reinterpret_cast<FileHandle>(h);
  }

  Result<FileHandle> open_read(const NativePath& path) {
    auto wide = win32::system_path(path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    if (names_a_device(*wide)) return fail_with(ERROR_NOT_SUPPORTED);
    HANDLE h = ::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | kOpenFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    return reinterpret_cast<FileHandle>(h);
  }

  Result<std::size_t> read(FileHandle file, char* buf, std::size_t size) override {
    HANDLE h = as_handle(file);
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ::NtReadFile(h, nullptr, nullptr, nullptr, &io, buf,
                                   static_cast<ULONG>(std::min(size, kMaxIoCall)), nullptr, nullptr);
    status = finish_io(h, status, io);
    if (status == STATUS_END_OF_FILE) return 0;
    if (!NT_SUCCESS(status)) return status_error(status);
    return static_cast<std::size_t>(io.Information);
  }

  // Windows has no signals that interrupt a write, so a short write is the
  // only thing to resume.
  Result<void> write_all(FileHandle file, const char* data, std::size_t size) override {
    HANDLE h = as_handle(file);
    while (size > 0) {
      IO_STATUS_BLOCK io{};
      NTSTATUS status = ::NtWriteFile(h, nullptr, nullptr, nullptr, &io, data,
                                      static_cast<ULONG>(std::min(size, kMaxIoCall)), nullptr, nullptr);
      status = finish_io(h, status, io);
      if (!NT_SUCCESS(status)) return status_error(status);
      std::size_t n = static_cast<std::size_t>(io.Information);
      if (n == 0) return std::unexpected<Error>(Error::os("write accepted zero bytes"));
      data += n;
      size -= n;
    }
    return {};
  }

  Result<void> sync(FileHandle file) override {
    if (!::FlushFileBuffers(as_handle(file))) return last_error();
    return {};
  }

  void close(FileHandle file) override { ::CloseHandle(as_handle(file)); }

  // The whole settable attribute word of the old file, on the handle:
  // read-only, hidden, system and archive come along as they were. The
  // handle keeps its write access; a read-only temporary is still removed
  // (remove_file). A file's explicit access list is not carried: the new
  // file has what its directory passes on.
  Result<void> set_permissions(FileHandle file, const FileMeta& existing) override {
    if (!set_attributes(as_handle(file), existing.permissions)) return last_error();
    return {};
  }

  // Windows has no set-id bits, and a write clears no attribute: all of
  // them came with set_permissions.
  Result<void> restore_set_id(FileHandle, const FileMeta&) override { return {}; }

  // Replaces in one step or not at all; nothing is ever deleted to make
  // room. MoveFileExW first; Windows refuses it with "access denied" for a
  // read-only target or one that another process holds open, where a
  // rename by handle with POSIX semantics still replaces it (NTFS, Windows
  // 10 1809 on). Without that class, a read-only target loses its
  // attribute for one more MoveFileExW and gets it back if that fails too.
  // Whatever fails, the first refusal is the one reported.
  Result<void> rename_replace(const NativePath& from, const NativePath& to) {
    auto wide_from = win32::system_path(from);
    if (!wide_from) return std::unexpected(std::move(wide_from.error()));
    auto wide_to = win32::system_path(to);
    if (!wide_to) return std::unexpected(std::move(wide_to.error()));
    if (DWORD err = win32::replace_file(*wide_from, *wide_to); err != ERROR_SUCCESS) return fail_with(err);
    return {};
  }

  // Meant for the agent's own temporary, which may carry the read-only
  // attribute of the file it was to replace: DeleteFileW; for a read-only
  // file a delete by handle that ignores the attribute, or where that class
  // is missing, the attribute lifted on the handle and the file deleted
  // through it. A directory is never opened here, so never removed.
  Result<void> remove_file(const NativePath& path) {
    auto wide = win32::system_path(path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    if (DWORD err = win32::delete_file(*wide); err != ERROR_SUCCESS) return fail_with(err);
    return {};
  }

  // The rename was written through; the directory's own buffers are
  // flushed as well where the file system lets a directory be flushed.
  Result<void> sync_directory(const NativePath& directory) {
    auto wide = win32::system_path(directory.empty() ? NativePath(".") : directory);
    if (!wide) return std::unexpected(std::move(wide.error()));
    UniqueHandle h = open_handle(*wide, FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
    if (!h) return last_error();
    if (!::FlushFileBuffers(h.get())) return last_error();
    return {};
  }

  // Windows has no signals to hold back; a temporary of an agent that is
  // killed is not removed.
  void block_ending_signals() override {}
  void unblock_ending_signals() override {}
  void register_temporary(DirHandle, const std::string&) override {}
  void forget_temporary() override {}

  // The directories are held by their paths: every call on a name in one
  // joins the two and goes by name.
  Result<DirHandle> open_directory(const NativePath& path, DirectoryWalk walk) override {
    if (walk == DirectoryWalk::kCreateMissing) {
      if (auto made = create_directories(path); !made) return std::unexpected(std::move(made.error()));
    }
    const NativePath dir = path.empty() ? NativePath(".") : path;
    auto meta = stat(dir);
    if (!meta) return std::unexpected(std::move(meta.error()));
    // A device namespace ("\\.\pipe") is let through: what is named in
    // it is refused as no regular file.
    if (meta->is_regular) return fail_with(ERROR_DIRECTORY);
    directories_.push_back(path);
    return static_cast<DirHandle>(directories_.size() - 1);
  }
  void close_directory(DirHandle dir) override { directories_.at(static_cast<std::size_t>(dir)).reset(); }
  Result<FileMeta> stat_at(DirHandle dir, const std::string& name, NameUse) override { return stat(in(dir, name)); }
  Result<FileMeta> stat_entry(DirHandle dir, const std::string& name) override { return stat(in(dir, name)); }
  Result<FileHandle> open_read_at(DirHandle dir, const std::string& name, NameUse) override {
    return open_read(in(dir, name));
  }
  Result<FileHandle> create_exclusive_at(DirHandle dir, const std::string& name, NewFileAccess) override {
    return create_exclusive(in(dir, name));
  }
  Result<std::size_t> read_at(FileHandle file, char* buf, std::size_t size, std::uint64_t offset) override {
    HANDLE h = as_handle(file);
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    NTSTATUS status = ::NtReadFile(h, nullptr, nullptr, nullptr, &io, buf,
                                   static_cast<ULONG>(std::min(size, kMaxIoCall)), &at, nullptr);
    status = finish_io(h, status, io);
    if (status == STATUS_END_OF_FILE) return 0;
    if (!NT_SUCCESS(status)) return status_error(status);
    return static_cast<std::size_t>(io.Information);
  }
  Result<void> rename_at(DirHandle dir, const std::string& from, const std::string& to) override {
    return rename_replace(in(dir, from), in(dir, to));
  }
  Result<void> remove_at(DirHandle dir, const std::string& name) override { return remove_file(in(dir, name)); }
  Result<void> sync_directory(DirHandle dir) override {
    return sync_directory(*directories_.at(static_cast<std::size_t>(dir)));
  }

 private:
  NativePath in(DirHandle dir, const std::string& name) const {
    return join_path(*directories_.at(static_cast<std::size_t>(dir)), name, PathStyle::kWindows);
  }
  std::vector<std::optional<NativePath>> directories_;

};

}  // namespace

Platform& native_platform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace brevok
