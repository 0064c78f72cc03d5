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
#include <string>
#include <vector>

#include "platform-win32.h"
#include "platform.h"
#include "remote_fs.h"

// ntdll's file data calls; winternl.h does not declare them.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                     PULONG key);
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                      PIO_STATUS_BLOCK io, const VOID* buffer, ULONG length, PLARGE_INTEGER offset,
                                      PULONG key);

namespace brevok {

namespace {

// FILE_INFO_BY_HANDLE_CLASS values of Windows 10 1709 on; mingw-w64 hides them.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
// FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE (Windows 10 1809), which
// mingw-w64 does not define.
constexpr DWORD kRenameIgnoreReadOnly = 0x40;

// The attributes a file may be given; the others (directory, compressed,
// sparse, reparse point...) the system keeps for itself.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// FILETIME ticks (100 ns since 1601-01-01) at the Unix epoch.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;

// One NtReadFile/NtWriteFile call moves at most this much (its length is a
// 32-bit count).
constexpr std::size_t kMaxIoCall = std::size_t(1) << 30;

// Every open by name: a named pipe reached through a link must not be able
// to act in the agent's name.
constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

Error win_error(DWORD code) { return Error::os(win32::system_error_text(code), win32::is_not_found_error(code)); }

std::unexpected<Error> fail_with(DWORD code) { return std::unexpected<Error>(win_error(code)); }

std::unexpected<Error> last_error() { return fail_with(::GetLastError()); }

std::unexpected<Error> status_error(NTSTATUS status) { return fail_with(::RtlNtStatusToDosError(status)); }

HANDLE as_handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

bool starts_with_ci(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::towlower(text[i]) != std::towlower(prefix[i])) return false;
  }
  return true;
}

// Whether a system path names a device rather than a file on a volume:
// "\\.\NUL", "\\.\COM1" and "\\.\C:" (what GetFullPathNameW makes of NUL,
// COM1, CON...), pipes and mailslots. Opening one may block, or take a
// pipe's only instance from its server, so such a path is refused before
// anything is opened. Whatever else turns out not to be a disk file is
// refused once it is open.
bool names_a_device(std::wstring_view path) {
  if (!path.starts_with(L"\\\\.\\") && !path.starts_with(L"\\\\?\\")) return false;
  std::wstring_view rest = path.substr(4);
  if (rest.find(L'\\') == std::wstring_view::npos) return true;
  return starts_with_ci(rest, L"pipe\\") || starts_with_ci(rest, L"mailslot\\");
}

struct HandleCloser {
  void operator()(void* h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle open_handle(const std::wstring& path, DWORD access, DWORD flags) {
  HANDLE h = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags | kOpenFlags, nullptr);
  return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

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
  return meta;
}

// Gives an open file the settable part of `attributes`; all clear is
// FILE_ATTRIBUTE_NORMAL, since 0 would leave the attributes as they are.
bool set_attributes(HANDLE h, DWORD attributes) {
  FILE_BASIC_INFO info{};
  info.FileAttributes = (attributes & kSettableAttributes) != 0 ? attributes & kSettableAttributes
                                                                : FILE_ATTRIBUTE_NORMAL;
  return win32::file_calls().set_information(h, FileBasicInfo, &info, sizeof info);
}

// Answers of a file system (FAT, exFAT, SMB) or a Windows (before 10 1709)
// that lacks a by-handle class.
bool is_unsupported_class(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
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

  Result<FileMeta> stat(const NativePath& path) override {
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

  Result<void> create_directories(const NativePath& path) override {
    if (path.empty()) return {};
    // Climb while the parent is missing, then create downwards. Roots
    // (drives, shares) are never created: their parent is themselves.
    std::vector<std::string> missing;
    std::string_view current = path;
    for (;;) {
      auto wide = win32::system_path(current);
      if (!wide) return std::unexpected(std::move(wide.error()));
      DWORD err = create_one_directory(*wide);
      if (err == ERROR_SUCCESS) break;
      std::string_view parent = path_parent(current, PathStyle::kWindows);
      if (err != ERROR_PATH_NOT_FOUND || parent.empty() || parent.size() >= current.size()) return fail_with(err);
      missing.emplace_back(current);
      current = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      auto wide = win32::system_path(*it);
      if (!wide) return std::unexpected(std::move(wide.error()));
      if (DWORD err = create_one_directory(*wide); err != ERROR_SUCCESS) return fail_with(err);
    }
    return {};
  }

  // Shared with nobody while it is open. DELETE access lets the handle
  // itself rename or remove the file where the directory's access list
  // would not allow it to a new open.
  Result<FileHandle> create_exclusive(const NativePath& path) override {
    auto wide = win32::system_path(path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    HANDLE h = ::CreateFileW(wide->c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | kOpenFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    return reinterpret_cast<FileHandle>(h);
  }

  Result<FileHandle> open_read(const NativePath& path) override {
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
  Result<void> set_permissions(FileHandle file, const std::optional<FileMeta>& existing) override {
    if (!existing) return {};
    if (!set_attributes(as_handle(file), existing->permissions)) return last_error();
    return {};
  }

  // Replaces in one step or not at all; nothing is ever deleted to make
  // room. MoveFileExW first; Windows refuses it with "access denied" for a
  // read-only target or one that another process holds open, where a
  // rename by handle with POSIX semantics still replaces it (NTFS, Windows
  // 10 1809 on). Without that class, a read-only target loses its
  // attribute for one more MoveFileExW and gets it back if that fails too.
  // Whatever fails, the first refusal is the one reported.
  Result<void> rename_replace(const NativePath& from, const NativePath& to) override {
    auto wide_from = win32::system_path(from);
    if (!wide_from) return std::unexpected(std::move(wide_from.error()));
    auto wide_to = win32::system_path(to);
    if (!wide_to) return std::unexpected(std::move(wide_to.error()));
    if (move_file(*wide_from, *wide_to)) return {};
    DWORD err = ::GetLastError();
    if (err != ERROR_ACCESS_DENIED) return fail_with(err);
    DWORD by_handle = rename_by_handle(*wide_from, *wide_to);
    if (by_handle == ERROR_SUCCESS) return {};
    if (is_unsupported_class(by_handle) && replace_read_only(*wide_from, *wide_to)) return {};
    return fail_with(err);
  }

  // Meant for the agent's own temporary, which may carry the read-only
  // attribute of the file it was to replace: DeleteFileW; for a read-only
  // file a delete by handle that ignores the attribute, or where that class
  // is missing, the attribute lifted on the handle and the file deleted
  // through it. A directory is never opened here, so never removed.
  Result<void> remove_file(const NativePath& path) override {
    auto wide = win32::system_path(path);
    if (!wide) return std::unexpected(std::move(wide.error()));
    if (::DeleteFileW(wide->c_str())) return {};
    DWORD err = ::GetLastError();
    if (err == ERROR_ACCESS_DENIED && delete_by_handle(*wide)) return {};
    return fail_with(err);
  }

  // The rename was written through; the directory's own buffers are
  // flushed as well where the file system lets a directory be flushed.
  Result<void> sync_directory(const NativePath& directory) override {
    auto wide = win32::system_path(directory.empty() ? NativePath(".") : directory);
    if (!wide) return std::unexpected(std::move(wide.error()));
    UniqueHandle h = open_handle(*wide, FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
    if (!h) return last_error();
    if (!::FlushFileBuffers(h.get())) return last_error();
    return {};
  }

 private:
  static bool move_file(const std::wstring& from, const std::wstring& to) {
    return win32::file_calls().move_file(from.c_str(), to.c_str(),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }

  // ERROR_SUCCESS or why the rename by handle failed.
  static DWORD rename_by_handle(const std::wstring& from, const std::wstring& to) {
    UniqueHandle h = open_handle(from, DELETE | SYNCHRONIZE, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH);
    if (!h) return ::GetLastError();
    // The system's own path form ("\??\C:\..."), which the call takes as
    // it is whether or not it converts names itself.
    UNICODE_STRING nt_to;
    if (!::RtlDosPathNameToNtPathName_U(to.c_str(), &nt_to, nullptr, nullptr)) return ERROR_INVALID_NAME;
    std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + nt_to.Length + sizeof(WCHAR);
    std::vector<std::byte> storage(size);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS | kRenameIgnoreReadOnly;
    info->RootDirectory = nullptr;
    info->FileNameLength = nt_to.Length;
    std::memcpy(info->FileName, nt_to.Buffer, nt_to.Length);
    ::RtlFreeUnicodeString(&nt_to);
    if (win32::file_calls().set_information(h.get(), kFileRenameInfoEx, info, static_cast<DWORD>(size))) {
      return ERROR_SUCCESS;
    }
    return ::GetLastError();
  }

  // The target's read-only attribute lifted on its handle for one more
  // MoveFileExW (which needs the target closed), and put back on the same
  // file when that fails too. Only a read-only regular file qualifies.
  static bool replace_read_only(const std::wstring& from, const std::wstring& to) {
    constexpr DWORD kAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    BY_HANDLE_FILE_INFORMATION before;
    {
      UniqueHandle target = open_handle(to, kAccess, FILE_FLAG_OPEN_REPARSE_POINT);
      if (!target || !::GetFileInformationByHandle(target.get(), &before)) return false;
      DWORD attributes = before.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
          (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
      }
      if (!set_attributes(target.get(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) return false;
    }
    if (move_file(from, to)) return true;
    DWORD err = ::GetLastError();
    UniqueHandle target = open_handle(to, kAccess, FILE_FLAG_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION now;
    if (target && ::GetFileInformationByHandle(target.get(), &now) &&
        now.dwVolumeSerialNumber == before.dwVolumeSerialNumber && now.nFileIndexHigh == before.nFileIndexHigh &&
        now.nFileIndexLow == before.nFileIndexLow) {
      set_attributes(target.get(), before.dwFileAttributes);
    }
    ::SetLastError(err);
    return false;
  }

  static bool delete_by_handle(const std::wstring& path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    UniqueHandle h = open_handle(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_FLAG_OPEN_REPARSE_POINT);
    if (!h) return false;
    FILE_DISPOSITION_INFO_EX ex{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (win32::file_calls().set_information(h.get(), kFileDispositionInfoEx, &ex, sizeof ex)) return true;
    if (!is_unsupported_class(::GetLastError())) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h.get(), &info)) return false;
    bool lifted = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                  set_attributes(h.get(), info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    FILE_DISPOSITION_INFO classic{TRUE};
    if (win32::file_calls().set_information(h.get(), FileDispositionInfo, &classic, sizeof classic)) return true;
    if (lifted) set_attributes(h.get(), info.dwFileAttributes);
    return false;
  }
};

// ---------------------------------------------------------------------------
// Large buffers. Most are filled whole and committed at once. The request
// buffer is sized for the largest request but usually holds a few bytes:
// it only reserves address space, and memory is committed as the request
// arrives, so that its 128 MiB count against the system's commit limit
// only as far as a request fills them.

constexpr std::size_t kLargeThreshold = std::size_t(4) << 20;

struct Reservation {
  std::uintptr_t base = 0;
  std::size_t size = 0;
};
// One thread; at most a few reserved buffers are alive at once.
Reservation g_reservations[4];

Reservation* reservation_of(std::uintptr_t address) {
  for (Reservation& r : g_reservations) {
    if (r.base != 0 && address >= r.base && address - r.base < r.size) return &r;
  }
  return nullptr;
}

}  // namespace

Platform& native_platform() {
  static Win32Platform platform;
  return platform;
}

char* allocate_bytes(std::size_t size) {
  if (size < kLargeThreshold) return static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  return static_cast<char*>(::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

char* reserve_bytes(std::size_t size) {
  if (size < kLargeThreshold) return allocate_bytes(size);
  for (Reservation& r : g_reservations) {
    if (r.base != 0) continue;
    void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_READWRITE);
    if (p == nullptr) return nullptr;
    r = Reservation{reinterpret_cast<std::uintptr_t>(p), size};
    return static_cast<char*>(p);
  }
  return allocate_bytes(size);  // no slot left: committed like any other
}

bool commit_bytes(char* bytes, std::size_t size) {
  if (size == 0 || reservation_of(reinterpret_cast<std::uintptr_t>(bytes)) == nullptr) return true;
  return ::VirtualAlloc(bytes, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void free_bytes(char* bytes, std::size_t size) {
  if (size < kLargeThreshold) {
    std::free(bytes);
    return;
  }
  if (Reservation* r = reservation_of(reinterpret_cast<std::uintptr_t>(bytes))) *r = Reservation{};
  ::VirtualFree(bytes, 0, MEM_RELEASE);
}

// ---------------------------------------------------------------------------
// Text

namespace win32 {

namespace {

bool is_lead_surrogate(unsigned c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_trail_surrogate(unsigned c) { return c >= 0xDC00 && c <= 0xDFFF; }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::optional<std::string> utf16_to_utf8(std::wstring_view text, bool keep_unpaired) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned c = static_cast<std::uint16_t>(text[i]);
    if (is_lead_surrogate(c) && i + 1 < text.size() && is_trail_surrogate(static_cast<std::uint16_t>(text[i + 1]))) {
      unsigned t = static_cast<std::uint16_t>(text[++i]);
      append_utf8(out, 0x10000 + ((c - 0xD800) << 10) + (t - 0xDC00));
    } else if (is_lead_surrogate(c) || is_trail_surrogate(c)) {
      if (!keep_unpaired) return std::nullopt;
      append_utf8(out, c);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

std::optional<std::wstring> utf8_to_utf16(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  auto continuation = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return k < text.size() && byte(k) >= lo && byte(k) <= hi;
  };
  for (std::size_t i = 0; i < text.size();) {
    unsigned b = byte(i);
    std::uint32_t cp;
    if (b < 0x80) {
      cp = b;
      i += 1;
    } else if (b >= 0xC2 && b <= 0xDF && continuation(i + 1)) {
      cp = ((b & 0x1F) << 6) | (byte(i + 1) & 0x3F);
      i += 2;
    } else if (b >= 0xE0 && b <= 0xEF && continuation(i + 1, b == 0xE0 ? 0xA0 : 0x80) && continuation(i + 2)) {
      // ED A0..BF, a surrogate, is allowed: generalized UTF-8.
      cp = ((b & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
      i += 3;
    } else if (b >= 0xF0 && b <= 0xF4 && continuation(i + 1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) &&
               continuation(i + 2) && continuation(i + 3)) {
      cp = ((b & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
      i += 4;
    } else {
      return std::nullopt;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
  }
  return out;
}

Result<std::vector<std::string>> utf8_arguments(int argc, const wchar_t* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    auto arg = utf16_to_utf8(argv[i], false);
    if (!arg) return fail("command-line argument " + std::to_string(i) + " is not valid UTF-16");
    args.push_back(std::move(*arg));
  }
  return args;
}

std::string system_error_text(unsigned long code) {
  wchar_t buf[512];
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                             static_cast<DWORD>(std::size(buf)), nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n')) --n;
  if (n == 0) return "system error " + std::to_string(code);
  return *utf16_to_utf8(std::wstring_view(buf, n), true);
}

Result<std::wstring> system_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail_with(ERROR_INVALID_NAME);
  auto wide = utf8_to_utf16(path);
  if (!wide) return fail_with(ERROR_NO_UNICODE_TRANSLATION);
  // Already in the system's literal form, or nothing to resolve.
  if (wide->empty() || wide->starts_with(L"\\\\?\\")) return std::move(*wide);
  // The full path as the system would make it (current directory, "." and
  // "..", "/" for "\", trailing dots and spaces), so that the prefix below,
  // which turns all of that off, changes nothing else.
  std::wstring full(wide->size() + MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetFullPathNameW(wide->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return last_error();
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);  // n counts the terminating zero here
  }
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return full;
}

FileCalls& file_calls() {
  static FileCalls calls;
  return calls;
}

bool is_not_found_error(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:  // no such drive letter
    case ERROR_BAD_NETPATH:    // no such server
    case ERROR_BAD_NET_NAME:   // no such share on the server
      return true;
    default:
      return false;
  }
}

}  // namespace win32

}  // namespace brevok
