// The rename that replaces a file in one step or not at all, and the
// removal of the agent's own temporary, on Windows: both through the
// temporary's open handle, relative to the held directory, never by its
// name. Which rename succeeds depends on the volume and the Windows
// version, so each falls back to the next only on the refusal that calls
// for it, and the first refusal is the one reported. The target is never
// deleted to make room.
#include <cstddef>
#include <cstring>
#include <algorithm>
#include <vector>

#include "platform-win32.h"

namespace brevok::win32 {

namespace {

constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
// FileRenameInformationEx (Windows 10 1709 on), which winternl.h lacks,
// and its flags (FILE_RENAME_IGNORE_READONLY_ATTRIBUTE: 1809 on).
constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;

// The attributes a file may be given; the others (directory, compressed,
// encrypted, sparse, reparse point...) the system keeps for itself.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// FILE_RENAME_INFORMATION with the Ex class's flags word in place of the
// boolean; both have the same layout otherwise.
NTSTATUS rename_by_handle(HANDLE file, HANDLE dir, std::wstring_view name, bool ex) {
  // Never shorter than the structure itself, which a one-letter name is.
  const std::size_t size = std::max(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * sizeof(wchar_t),
                                    sizeof(FILE_RENAME_INFORMATION));
  std::vector<std::byte> storage(size + sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
  if (ex) {
    const ULONG flags = kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly;
    std::memcpy(storage.data(), &flags, sizeof flags);
  } else {
    info->ReplaceIfExists = TRUE;
  }
  info->RootDirectory = dir;
  info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), info->FileNameLength);
  IO_STATUS_BLOCK io{};
  return file_calls().set_information(file, &io, info, static_cast<ULONG>(size),
                                      ex ? kFileRenameInformationEx : FileRenameInformation);
}


// A read-only target refuses the classic rename. Its attribute is lifted
// on its own handle for one more rename (which needs it closed), and put
// back on the same file if that fails too.
NTSTATUS replace_read_only(HANDLE file, HANDLE dir, std::wstring_view name) {
  constexpr Opening kTarget{FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE};
  DWORD attributes = 0;
  {
    UniqueHandle target;
    if (!NT_SUCCESS(open_at(dir, name, kTarget, target)) || !NT_SUCCESS(attributes_of(target.get(), attributes)) ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !NT_SUCCESS(set_attributes(target.get(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))) {
      return kAccessDenied;
    }
  }
  NTSTATUS status = rename_by_handle(file, dir, name, false);
  if (NT_SUCCESS(status)) return status;
  UniqueHandle target;
  if (NT_SUCCESS(open_at(dir, name, kTarget, target))) set_attributes(target.get(), attributes);
  return status;
}

}  // namespace

bool is_unsupported_class(NTSTATUS status) {
  const auto code = static_cast<ULONG>(status);
  return code == 0xC0000003 /* INVALID_INFO_CLASS */ || code == 0xC000000D /* INVALID_PARAMETER */ ||
         code == 0xC0000002 /* NOT_IMPLEMENTED */ || code == 0xC00000BB /* NOT_SUPPORTED */ ||
         code == 0xC0000010 /* INVALID_DEVICE_REQUEST */;
}

NTSTATUS attributes_of(HANDLE h, DWORD& attributes) {
  FILE_BASIC_INFORMATION info{};
  IO_STATUS_BLOCK io{};
  NTSTATUS status = file_calls().query_information(h, &io, &info, sizeof info, FileBasicInformation);
  if (NT_SUCCESS(status)) attributes = info.FileAttributes;
  return status;
}

// Gives an open file the settable part of `attributes`; all clear is
// FILE_ATTRIBUTE_NORMAL, since 0 would leave the attributes as they are.
NTSTATUS set_attributes(HANDLE h, DWORD attributes) {
  FILE_BASIC_INFORMATION info{};
  info.FileAttributes = (attributes & kSettableAttributes) != 0 ? attributes & kSettableAttributes
                                                                : FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io{};
  return file_calls().set_information(h, &io, &info, sizeof info, FileBasicInformation);
}

NTSTATUS set_delete_on_close(HANDLE file, bool deleted) {
  FILE_DISPOSITION_INFORMATION info{static_cast<BOOLEAN>(deleted)};
  IO_STATUS_BLOCK io{};
  return file_calls().set_information(file, &io, &info, sizeof info, FileDispositionInformation);
}

Result<void> discard_open_file(HANDLE file) {
  // A read-only file refuses a delete disposition.
  DWORD attributes = 0;
  if (NT_SUCCESS(attributes_of(file, attributes)) && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    set_attributes(file, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
  }
  if (NTSTATUS status = set_delete_on_close(file, true); !NT_SUCCESS(status)) return status_error(status);
  return {};
}

// No rename runs while the disposition is set: the file renamed into
// place would be deleted when its handle closes. The moment between the
// clear and the rename is the only one in which a killed agent leaves its
// temporary behind.
Result<void> rename_open_file(HANDLE file, HANDLE dir, std::wstring_view name) {
  if (NTSTATUS status = set_delete_on_close(file, false); !NT_SUCCESS(status)) return status_error(status);
  // POSIX semantics replace a target that another process holds open with
  // delete sharing, and the flag ignores a read-only target (NTFS, Windows
  // 10 1809 on). Elsewhere the classic rename, and for a read-only target
  // its attribute lifted for one more.
  NTSTATUS status = rename_by_handle(file, dir, name, true);
  if (is_unsupported_class(status)) {
    status = rename_by_handle(file, dir, name, false);
    if (status == kAccessDenied && NT_SUCCESS(replace_read_only(file, dir, name))) return {};
  }
  if (NT_SUCCESS(status)) return {};
  (void)discard_open_file(file);
  return status_error(status);
}

FileCalls& file_calls() {
  static FileCalls calls;
  return calls;
}

}  // namespace brevok::win32
