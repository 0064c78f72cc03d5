// Paths as the Windows file system calls take them: UTF-16, full, with the
// prefix that turns off length limits and rewriting; places on volumes told
// apart from devices and pipes.
#include <cwctype>
#include <string>

#include "platform-win32.h"

namespace brevok {

namespace win32 {

namespace {

bool starts_with_ci(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::towlower(text[i]) != std::towlower(prefix[i])) return false;
  }
  return true;
}

}  // namespace

std::size_t volume_root_length(std::wstring_view path) {
  if (!path.starts_with(L"\\\\?\\")) return 0;
  std::size_t root = 0;
  const std::wstring_view rest = path.substr(4);
  if (rest.size() >= 3 && std::iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\') {
    root = 7;
  } else if (starts_with_ci(rest, L"Volume{")) {
    const std::size_t end = rest.find(L"}\\");
    if (end == std::wstring_view::npos) return 0;
    root = 4 + end + 2;
  } else if (starts_with_ci(rest, L"UNC\\")) {
    const std::size_t server_end = rest.find(L'\\', 4);
    if (server_end == std::wstring_view::npos || server_end == 4) return 0;
    const std::size_t share_end = rest.find(L'\\', server_end + 1);
    const std::wstring_view share = rest.substr(server_end + 1, share_end - server_end - 1);
    if (share.empty()) return 0;
    for (std::wstring_view special : {L"IPC$", L"pipe", L"mailslot"}) {
      if (share.size() == special.size() && starts_with_ci(share, special)) return 0;
    }
    root = share_end == std::wstring_view::npos ? path.size() : 4 + share_end + 1;
  } else {
    return 0;
  }
  // A stream name anywhere after the root ("C:\\d\\f.txt:s").
  if (path.find(L':', root) != std::wstring_view::npos) return 0;
  return root;
}

std::optional<std::wstring> entry_name(std::string_view name) {
  auto wide = utf8_to_utf16(name);
  if (!wide || wide->empty() || wide->find(L':') != std::wstring::npos || wide->find(L'\0') != std::wstring::npos) {
    return std::nullopt;
  }
  // What the system makes of the name at the end of a path: a reserved
  // device name comes back in the device namespace, and trailing dots and
  // spaces are gone.
  const std::wstring probe = L"C:\\d\\" + *wide;
  std::wstring full(probe.size() + MAX_PATH, L'\0');
  DWORD n = ::GetFullPathNameW(probe.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return std::nullopt;
  full.resize(n);
  if (!full.starts_with(L"C:\\d\\") || full.size() == 5) return std::nullopt;
  full.erase(0, 5);
  if (full.find(L'\\') != std::wstring::npos) return std::nullopt;
  return full;
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

}  // namespace win32

}  // namespace brevok
