// Paths as the Windows file system calls take them: UTF-16, full, with the
// prefix that turns off length limits and rewriting; device names told
// apart.
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

bool names_a_device(std::wstring_view path) {
  if (!path.starts_with(L"\\\\.\\") && !path.starts_with(L"\\\\?\\")) return false;
  std::wstring_view rest = path.substr(4);
  if (rest.find(L'\\') == std::wstring_view::npos) return true;
  return starts_with_ci(rest, L"pipe\\") || starts_with_ci(rest, L"mailslot\\");
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
