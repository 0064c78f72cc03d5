// Windows-only parts of the platform layer that the process entry and the
// tests reach directly: the text conversions between the system's UTF-16
// and the agent's UTF-8, and the system's error texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_agent.h"

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

}  // namespace brevok::win32
