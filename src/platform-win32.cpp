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

namespace brevok {

namespace {

// FILETIME ticks (100 ns since 1601-01-01) at the Unix epoch.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;

// One NtReadFile/NtWriteFile call moves at most this much (its length is a
// 32-bit count).
constexpr std::size_t kMaxIoCall = std::size_t(1) << 30;

using win32::fail_with;
using win32::find_in;
using win32::last_error;
using win32::Opening;
using win32::status_error;
using win32::UniqueHandle;

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
  if (!win32::file_calls().file_information(h, &info)) return last_error();
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

  Result<FileMeta> stat_handle(FileHandle file) override { return meta_of(as_handle(file)); }

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

  Result<void> write_all(FileHandle file, const char* data, std::size_t size) override {
    return win32::write_all_to(as_handle(file), data, size);
  }

  Result<void> sync(FileHandle file) override {
    if (!::FlushFileBuffers(as_handle(file))) return last_error();
    return {};
  }

  void close(FileHandle file) override { ::CloseHandle(as_handle(file)); }

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
  // Windows has no signals to hold back: a temporary carries a delete
  // disposition instead, from its creation (or from the moment its streams
  // exist) to its rename, so that the system removes it whatever ends the
  // agent.
  void block_ending_signals() override {}
  void unblock_ending_signals() override {}
  void register_temporary(DirHandle, const std::string&) override {}
  void forget_temporary() override {}

  // A directory is held by its handle, reached from its volume's root.
  // A path that names no place on a volume (a device, a pipe, the object
  // namespace, a stream) is held as nothing: every name in it is no
  // regular file, and nothing is opened for it.
  Result<DirHandle> open_directory(const NativePath& path, DirectoryWalk walk) override {
    auto wide = win32::system_path(path.empty() ? NativePath(".") : path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    Directory dir;
    if (const std::size_t root = win32::volume_root_length(*wide); root != 0) {
      auto held = win32::walk_to_directory(*wide, root, walk == DirectoryWalk::kCreateMissing);
      if (!held) return std::unexpected(std::move(held.error()));
      dir.handle = std::move(*held);
    }
    directories_.push_back(std::move(dir));
    return static_cast<DirHandle>(directories_.size() - 1);
  }
  void close_directory(DirHandle dir) override { directories_.at(static_cast<std::size_t>(dir)).handle.reset(); }

  Result<FileMeta> stat_at(DirHandle dir, const std::string& name, NameUse) override {
    return stat_name(dir, name, true);
  }
  Result<FileMeta> stat_entry(DirHandle dir, const std::string& name) override { return stat_name(dir, name, false); }

  Result<FileHandle> open_read_at(DirHandle dir, const std::string& name, NameUse) override {
    auto entry = entry_in(dir, name);
    if (!entry) return std::unexpected(std::move(entry.error()));
    if (!entry->name) return fail_with(ERROR_NOT_SUPPORTED);
    auto h = find_in(entry->dir, *entry->name,
                     Opening{GENERIC_READ, entry->must_be_dir ? ULONG(FILE_DIRECTORY_FILE) : ULONG(FILE_NON_DIRECTORY_FILE)},
                     true);
    if (!h) return std::unexpected(std::move(h.error()));
    return reinterpret_cast<FileHandle>(h->release());
  }

  // Shared for reading only, and kept open through the rename for the
  // read-back; pending deletion from the start. A replacement starts
  // private to the agent's user (and encrypted where the old file is); a
  // new file gets what its directory gives.
  Result<FileHandle> create_exclusive_at(DirHandle dir, const std::string& name, const FileMeta* replacing) override {
    auto entry = entry_in(dir, name);
    if (!entry) return std::unexpected(std::move(entry.error()));
    if (!entry->name) return fail_with(ERROR_NOT_SUPPORTED);
    Opening how{GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                  FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, FILE_CREATE, FILE_SHARE_READ,
                  FILE_ATTRIBUTE_NORMAL};
    if (replacing != nullptr) {
      how.security = win32::private_security();
      if (how.security == nullptr) return last_error();
      if ((replacing->permissions & FILE_ATTRIBUTE_ENCRYPTED) != 0) how.attributes = FILE_ATTRIBUTE_ENCRYPTED;
    }
    UniqueHandle h;
    if (NTSTATUS status = win32::open_at(entry->dir, *entry->name, how, h); !NT_SUCCESS(status)) {
      return status_error(status);
    }
    if (NTSTATUS status = win32::set_delete_on_close(h.get(), true); !NT_SUCCESS(status)) {
      // Not ours to keep: removed as it is closed, if the system lets it.
      (void)win32::discard_open_file(h.get());
      return status_error(status);
    }
    return reinterpret_cast<FileHandle>(h.release());
  }

  // What the old file had, read from it as it is opened again here: the
  // same file that was examined, or nothing is carried.
  Result<void> set_permissions(FileHandle file, DirHandle dir, const std::string& name,
                               const FileMeta& existing) override {
    auto entry = entry_in(dir, name);
    if (!entry) return std::unexpected(std::move(entry.error()));
    if (!entry->name) return fail_with(ERROR_NOT_SUPPORTED);
    auto old = find_in(entry->dir, *entry->name,
                       Opening{READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_NON_DIRECTORY_FILE}, true);
    if (!old) return std::unexpected(std::move(old.error()));
    auto meta = meta_of(old->get());
    if (!meta) return std::unexpected(std::move(meta.error()));
    if (meta->device != existing.device || meta->inode != existing.inode) return fail_with(ERROR_FILE_INVALID);
    return win32::carry_over(as_handle(file), old->get(), existing.permissions);
  }

  // Windows has no set-id bits, and a write clears no attribute: all of
  // them came with set_permissions.
  Result<void> restore_set_id(FileHandle, const FileMeta&) override { return {}; }

  // By the handle, under the name the directory holds for the target
  // (its long name, in its own case), so that a short name or another
  // spelling in the request never renames the file.
  Result<void> rename_at(DirHandle dir, FileHandle file, const std::string&, const std::string& to) override {
    auto entry = entry_in(dir, to);
    if (!entry) return std::unexpected(std::move(entry.error()));
    if (!entry->name) return fail_with(ERROR_NOT_SUPPORTED);
    std::wstring name = *entry->name;
    {
      auto target = find_in(entry->dir, name, Opening{FILE_READ_ATTRIBUTES, 0}, false);
      if (target) {
        if (auto on_disk = win32::name_on_disk(target->get())) name = std::move(*on_disk);
      }
    }
    return win32::rename_open_file(as_handle(file), entry->dir, name);
  }

  Result<void> remove_at(DirHandle, FileHandle file, const std::string&) override {
    return win32::discard_open_file(as_handle(file));
  }

  // The rename was written through; the directory's own buffers are
  // flushed as well where the file system lets a directory be flushed.
  Result<void> sync_directory(DirHandle dir) override {
    const Directory& d = directories_.at(static_cast<std::size_t>(dir));
    if (!d.handle) return fail_with(ERROR_NOT_SUPPORTED);
    UniqueHandle h;
    NTSTATUS status = win32::open_at(d.handle.get(), L"", Opening{FILE_ADD_FILE, FILE_DIRECTORY_FILE}, h);
    if (!NT_SUCCESS(status)) return status_error(status);
    if (!::FlushFileBuffers(h.get())) return last_error();
    return {};
  }

 private:
  struct Directory {
    UniqueHandle handle;  // null: a path on no volume
  };
  // A name in a held directory, as the system would read it at the end of
  // a path; no name where it would be a device or a stream.
  struct Entry {
    HANDLE dir;
    std::optional<std::wstring> name;
    bool must_be_dir;
  };
  Result<Entry> entry_in(DirHandle dir, std::string_view name) const {
    if (name.find('\0') != std::string_view::npos) return fail_with(ERROR_INVALID_NAME);
    const Directory& d = directories_.at(static_cast<std::size_t>(dir));
    Entry entry{d.handle.get(), std::nullopt, false};
    while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.remove_suffix(1), entry.must_be_dir = true;
    if (d.handle) entry.name = win32::entry_name(name);
    return entry;
  }

  Result<FileMeta> stat_name(DirHandle dir, const std::string& name, bool follow) {
    if (name == ".") {
      const Directory& d = directories_.at(static_cast<std::size_t>(dir));
      if (!d.handle) return FileMeta{};
      return meta_of(d.handle.get());
    }
    auto entry = entry_in(dir, name);
    if (!entry) return std::unexpected(std::move(entry.error()));
    if (!entry->name) return FileMeta{};  // no regular file
    auto h = find_in(entry->dir, *entry->name,
                     Opening{FILE_READ_ATTRIBUTES, entry->must_be_dir ? ULONG(FILE_DIRECTORY_FILE) : 0}, follow);
    if (!h) return std::unexpected(std::move(h.error()));
    return meta_of(h->get());
  }

  std::vector<Directory> directories_;
};

}  // namespace

// Windows has no signals that interrupt a write, so a short write is the
// only thing to resume.
Result<void> win32::write_all_to(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = file_calls().write_file(file, nullptr, nullptr, nullptr, &io, data,
                                              static_cast<ULONG>(std::min(size, kMaxIoCall)), nullptr, nullptr);
    status = finish_io(file, status, io);
    if (!NT_SUCCESS(status)) return status_error(status);
    const std::size_t n = static_cast<std::size_t>(io.Information);
    if (n == 0) return std::unexpected<Error>(Error::os("write accepted zero bytes"));
    data += n;
    size -= n;
  }
  return {};
}

Platform& native_platform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace brevok
