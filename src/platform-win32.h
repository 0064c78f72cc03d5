// Windows-only parts of the platform layer that its files share and that
// the process entry and the tests reach directly: the text conversions
// between the system's UTF-16 and the agent's UTF-8 and the system's error
// texts (platform-win32-text.cpp), the system's form of a path
// (platform-win32-path.cpp), and the rename and removal with their
// fallbacks (platform-win32-replace.cpp).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

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

// Whether a system path names a device rather than a file on a volume:
// "\\.\NUL", "\\.\COM1" and "\\.\C:" (what GetFullPathNameW makes of NUL,
// COM1, CON...), pipes and mailslots. Opening one may block, or take a
// pipe's only instance from its server, so such a path is refused before
// anything is opened. Whatever else turns out not to be a disk file is
// refused once it is open.
bool names_a_device(std::wstring_view path);

// Every open by name: a named pipe reached through a link must not be able
// to act in the agent's name.
inline constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

struct HandleCloser {
  void operator()(void* h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// An existing file or directory opened by its system path, shared with
// everyone; null when it cannot be (GetLastError tells why).
UniqueHandle open_handle(const std::wstring& path, DWORD access, DWORD flags);

// Gives an open file the attributes of `attributes` that a file may be
// given (read-only, hidden, system, archive and the like).
bool set_attributes(HANDLE h, DWORD attributes);

// Moves `from` onto `to` in one step, replacing it, or leaves both as they
// were: MoveFileExW; where that is refused with access denied, a rename by
// handle with POSIX semantics that ignores the read-only attribute; where
// that class is missing and the target is read-only, its attribute lifted
// for one more MoveFileExW and put back if that fails too. ERROR_SUCCESS,
// or the first refusal.
DWORD replace_file(const std::wstring& from, const std::wstring& to);

// Removes a file (never a directory), read-only or not: DeleteFileW; for a
// read-only file a delete by handle that ignores the attribute, or where
// that class is missing, the attribute lifted on the handle and the file
// deleted through it. ERROR_SUCCESS, or the first refusal.
DWORD delete_file(const std::wstring& path);

// The calls whose refusals choose the fallbacks of the rename. Wine accepts
// what Windows refuses here (it replaces a read-only file; it answers the
// by-handle classes of Windows 10 1709 with ERROR_INVALID_PARAMETER, as
// FAT volumes do), so tests put refusals in their place. The agent never
// changes them.
struct FileCalls {
  decltype(&::MoveFileExW) move_file = ::MoveFileExW;
  decltype(&::SetFileInformationByHandle) set_information = ::SetFileInformationByHandle;
};
FileCalls& file_calls();

}  // namespace brevok::win32
