// Paths as text, in either style so that both can be tested anywhere:
// their components, joining, and showing them in messages. Nothing here
// touches the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brevok {

// A native path as bytes: the raw bytes on POSIX; on Windows UTF-8, widened
// to UTF-16 only inside the platform layer (unpaired surrogates from the
// environment are kept in the generalized form of UTF-8 that allows them).
using NativePath = std::string;

enum class PathStyle { kPosix, kWindows };

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::kWindows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::kPosix;
#endif

bool is_path_separator(char c, PathStyle style = kNativePathStyle);
bool is_absolute_path(std::string_view path, PathStyle style = kNativePathStyle);
// `base` joined with `rest` by the platform's ordinary rule: an absolute
// `rest` replaces `base`; otherwise one separator goes between them unless
// `base` is empty or already ends with one.
std::string join_path(std::string_view base, std::string_view rest, PathStyle style = kNativePathStyle);
// The last component, trailing separators ignored; none for an empty path,
// a root, or a last component of "." or "..".
std::optional<std::string_view> path_file_name(std::string_view path, PathStyle style = kNativePathStyle);
// The path without its last component (trailing separators ignored); empty
// for a bare name.
std::string_view path_parent(std::string_view path, PathStyle style = kNativePathStyle);
// A path as text for messages; what is not valid text shows as U+FFFD.
std::string display_path(std::string_view path, PathStyle style = kNativePathStyle);

}  // namespace brevok
