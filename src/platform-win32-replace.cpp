// The rename that replaces a file in one step or not at all, and the
// removal of the agent's own temporary, on Windows. Which way succeeds
// depends on the volume and the Windows version, so each step falls back
// to the next only on the refusal that calls for it, and the first
// refusal is the one reported. The target is never deleted to make room.
#include "platform-win32.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace brevok::win32 {

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

// Answers of a file system (FAT, exFAT, SMB) or a Windows (before 10 1709)
// that lacks a by-handle class.
bool is_unsupported_class(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
}

bool move_file(const std::wstring& from, const std::wstring& to) {
  return file_calls().move_file(from.c_str(), to.c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// ERROR_SUCCESS or why the rename by handle failed.
DWORD rename_by_handle(const std::wstring& from, const std::wstring& to) {
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
  if (file_calls().set_information(h.get(), kFileRenameInfoEx, info, static_cast<DWORD>(size))) {
    return ERROR_SUCCESS;
  }
  return ::GetLastError();
}

// The target's read-only attribute lifted on its handle for one more
// MoveFileExW (which needs the target closed), and put back on the same
// file when that fails too. Only a read-only regular file qualifies.
bool replace_read_only(const std::wstring& from, const std::wstring& to) {
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

bool delete_by_handle(const std::wstring& path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
  UniqueHandle h = open_handle(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_FLAG_OPEN_REPARSE_POINT);
  if (!h) return false;
  FILE_DISPOSITION_INFO_EX ex{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                              FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
  if (file_calls().set_information(h.get(), kFileDispositionInfoEx, &ex, sizeof ex)) return true;
  if (!is_unsupported_class(::GetLastError())) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h.get(), &info)) return false;
  bool lifted = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                set_attributes(h.get(), info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
  FILE_DISPOSITION_INFO classic{TRUE};
  if (file_calls().set_information(h.get(), FileDispositionInfo, &classic, sizeof classic)) return true;
  if (lifted) set_attributes(h.get(), info.dwFileAttributes);
  return false;
}

}  // namespace

UniqueHandle open_handle(const std::wstring& path, DWORD access, DWORD flags) {
  HANDLE h = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags | kOpenFlags, nullptr);
  return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// Gives an open file the settable part of `attributes`; all clear is
// FILE_ATTRIBUTE_NORMAL, since 0 would leave the attributes as they are.
bool set_attributes(HANDLE h, DWORD attributes) {
  FILE_BASIC_INFO info{};
  info.FileAttributes = (attributes & kSettableAttributes) != 0 ? attributes & kSettableAttributes
                                                                : FILE_ATTRIBUTE_NORMAL;
  return file_calls().set_information(h, FileBasicInfo, &info, sizeof info);
}

DWORD replace_file(const std::wstring& from, const std::wstring& to) {
  if (move_file(from, to)) return ERROR_SUCCESS;
  DWORD err = ::GetLastError();
  if (err != ERROR_ACCESS_DENIED) return err;
  DWORD by_handle = rename_by_handle(from, to);
  if (by_handle == ERROR_SUCCESS) return ERROR_SUCCESS;
  if (is_unsupported_class(by_handle) && replace_read_only(from, to)) return ERROR_SUCCESS;
  return err;
}

DWORD delete_file(const std::wstring& path) {
  if (::DeleteFileW(path.c_str())) return ERROR_SUCCESS;
  DWORD err = ::GetLastError();
  if (err == ERROR_ACCESS_DENIED && delete_by_handle(path)) return ERROR_SUCCESS;
  return err;
}

FileCalls& file_calls() {
  static FileCalls calls;
  return calls;
}

}  // namespace brevok::win32
