// The text of the Windows platform layer: UTF-16 and UTF-8 both ways, and
// the system's error texts.
#include <cstdint>
#include <string>
#include <vector>

#include "platform-win32.h"

namespace brevok {

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

Error win_error(unsigned long code) { return Error::os(system_error_text(code), is_not_found_error(code)); }

}  // namespace win32

}  // namespace brevok
