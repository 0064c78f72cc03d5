// Windows-only parts of the platform layer that its files share and that
// the process entry and the tests reach directly: the text conversions
// between the system's UTF-16 and the agent's UTF-8 and the system's error
// texts (platform-win32-text.cpp), the system's form of a path and of a
// name (platform-win32-path.cpp), the walk that holds directories and
// follows links by rule (platform-win32-walk.cpp), the rename and removal of
// an open temporary (platform-win32-replace.cpp), and what a replacement
// takes over from the old file (platform-win32-carry.cpp).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>

#include <accctrl.h>
#include <aclapi.h>
#include <winefs.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

// ntdll's file data calls; winternl.h does not declare them.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                                     PULONG key);
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                      PIO_STATUS_BLOCK io, const VOID* buffer, ULONG length, PLARGE_INTEGER offset,
                                      PULONG key);

namespace brevok::win32 {

// UTF-16 as UTF-8. An unpaired surrogate is kept in the three-byte form of
// generalized UTF-8 when `keep_unpaired` (paths and HOME must come back
// unchanged); otherwise the text is refused with nullopt.
std::optional<std::string> utf16_to_utf8(std::wstring_view text, bool keep_unpaired);

// Generalized UTF-8 (unpaired surrogates allowed) as UTF-16; nullopt for
// anything else.
std::optional<std::wstring> utf8_to_utf16(std::string_view text);

// The process arguments after the program name as UTF-8; an argument that is
// not valid UTF-16 is an error.
Result<std::vector<std::string>> utf8_arguments(int argc, const wchar_t* const* argv);

// The system's text for a Win32 error code, without the trailing line break.
std::string system_error_text(unsigned long code);

// Whether a Win32 error code means that nothing exists at the path: no such
// file or directory along the way, no such drive, share or server.
bool is_not_found_error(unsigned long code);

// The error of a Win32 error code: the system's text, and whether it means
// that nothing is there.
Error win_error(unsigned long code);
inline std::unexpected<Error> fail_with(unsigned long code) { return std::unexpected<Error>(win_error(code)); }
inline std::unexpected<Error> last_error() { return fail_with(::GetLastError()); }

// A path as the file system calls take it: the full path, prefixed with
// \\?\ (\\?\UNC\ for a share) so that no length limit and no further
// rewriting applies. A path with U+0000 is refused with ERROR_INVALID_NAME,
// one that is not generalized UTF-8 with ERROR_NO_UNICODE_TRANSLATION.
Result<std::wstring> system_path(std::string_view path);

// The length of the root of a system path that names a place on a volume:
// "\\?\C:\", "\\?\Volume{...}\" or "\\?\UNC\server\share\" (a share
// that is not IPC$, pipe or mailslot). 0 for anything else (a device, a
// pipe, the object namespace, a stream name after the root): nothing there
// is opened, since opening one may block, reach the network in the agent's
// name or take a pipe's only instance from its server.
std::size_t volume_root_length(std::wstring_view path);

// A final name as the system would read it at the end of a path (trailing
// dots and spaces dropped), or nullopt where it would name a device (NUL,
// CON, COM1...) or a stream (a ":" in it) instead of a file.
std::optional<std::wstring> entry_name(std::string_view name);

// Every open by name: a named pipe reached through a link must not be able
// to act in the agent's name.
inline constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

struct HandleCloser {
  void operator()(void* h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The Win32 error of an NTSTATUS.
inline std::unexpected<Error> status_error(NTSTATUS status) { return fail_with(::RtlNtStatusToDosError(status)); }

// What an open relative to a handle asks for.
struct Opening {
  ACCESS_MASK access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  // FILE_* create options; synchronous I/O is always added.
  ULONG options = 0;
  ULONG disposition = FILE_OPEN;
  ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  ULONG attributes = 0;
  void* security = nullptr;
};

// Opens `name` relative to `root`: a directory, or an open file for one
// of its streams (":name:$DATA"); an empty name opens `root` again.
NTSTATUS open_at(HANDLE root, std::wstring_view name, const Opening& how, UniqueHandle& out);

// Holds the directory a system path on a volume names (its root
// `root_length` long, as volume_root_length tells), walking from the
// volume's root one component at a time; a symbolic link or junction on
// the way is followed only under the link rule (find_in), and with
// `create`, missing directories on the path itself (never where a link
// leads) are created.
Result<UniqueHandle> walk_to_directory(const std::wstring& path, std::size_t root_length, bool create);

// Opens `name` in `dir` as `how` asks. With `follow`, a symbolic link or
// junction there is followed where nobody but a trusted account (the
// agent's own, SYSTEM, Administrators) could have made it lead elsewhere:
// one such account owns it, or its owner also owns what it leads to; else
// access is denied. Without `follow`, the entry itself is opened.
Result<UniqueHandle> find_in(HANDLE dir, std::wstring_view name, Opening how, bool follow);

// The account the agent runs as, as its SID's bytes; empty where the
// system does not tell.
const std::vector<BYTE>& agent_user();

// The path the system holds for an open file, in the form `flags` ask
// GetFinalPathNameByHandleW for.
std::optional<std::wstring> final_path(HANDLE h, DWORD flags);

// The last component of the name the volume holds for an open file: its
// long name in the case it was created with.
std::optional<std::wstring> name_on_disk(HANDLE h);

// Whether an NTSTATUS is the answer of a file system (FAT, exFAT, SMB), a
// Windows (before 10 1709) or Wine that lacks an information class.
bool is_unsupported_class(NTSTATUS status);

// The attribute word of an open file.
NTSTATUS attributes_of(HANDLE h, DWORD& attributes);

// Writes all bytes to an open file, resuming after short writes; a write
// that accepts nothing is an error.
Result<void> write_all_to(HANDLE file, const char* data, std::size_t size);

// Gives an open file the attributes of `attributes` that a file may be
// given (read-only, hidden, system, archive and the like).
NTSTATUS set_attributes(HANDLE h, DWORD attributes);

// Whether closing `file` deletes it. A temporary carries this from its
// creation on, so that an agent killed by any means leaves nothing behind.
NTSTATUS set_delete_on_close(HANDLE file, bool deleted);

// Renames the open temporary `file` onto `name` in `dir` in one step,
// replacing what is there and leaving it as it was on failure; its delete
// disposition is cleared just before and set again after a failure.
Result<void> rename_open_file(HANDLE file, HANDLE dir, std::wstring_view name);

// Marks the open temporary `file` for deletion when it is closed, lifting
// its read-only attribute first.
Result<void> discard_open_file(HANDLE file);

// Carries onto the private temporary `file`, before its first byte, what
// the old file `old` (attributes `attributes`) had: security descriptor,
// encryption users, compression, named streams; then the old attributes
// and the archive bit. The temporary is pending deletion throughout, but
// while its streams are made.
Result<void> carry_over(HANDLE file, HANDLE old, DWORD attributes);

// A security descriptor that lets only the agent's user in, for a
// temporary until carry_over; nullptr when it cannot be made.
void* private_security();

// Every file system call of the layer that can refuse, so that tests can
// refuse each in turn, or make Wine report what it cannot show (a
// reparse point, an encrypted file, a named stream, an owner). The agent
// never changes them.
struct FileCalls {
  decltype(&::NtCreateFile) create_file = ::NtCreateFile;
  decltype(&::NtQueryInformationFile) query_information = ::NtQueryInformationFile;
  decltype(&::NtSetInformationFile) set_information = ::NtSetInformationFile;
  decltype(&::NtWriteFile) write_file = ::NtWriteFile;
  decltype(&::GetFileInformationByHandle) file_information = ::GetFileInformationByHandle;
  decltype(&::GetSecurityInfo) get_security = ::GetSecurityInfo;
  decltype(&::SetKernelObjectSecurity) set_security = ::SetKernelObjectSecurity;
  decltype(&::QueryUsersOnEncryptedFile) query_users = ::QueryUsersOnEncryptedFile;
  decltype(&::AddUsersToEncryptedFile) add_users = ::AddUsersToEncryptedFile;
};
FileCalls& file_calls();

}  // namespace brevok::win32
