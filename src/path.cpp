#include "path.h"

#include "utf8.h"

namespace brevok {

bool is_path_separator(char c, PathStyle style) { return c == '/' || (style == PathStyle::kWindows && c == '\\'); }

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Length of the Windows root name ("C:" or "\\server\share"); 0 on POSIX.
std::size_t root_name_length(std::string_view p, PathStyle style) {
  if (style != PathStyle::kWindows) return 0;
  if (p.size() >= 2 && is_alpha(p[0]) && p[1] == ':') return 2;
  if (p.size() >= 3 && is_path_separator(p[0], style) && is_path_separator(p[1], style) &&
      !is_path_separator(p[2], style)) {
    // \\server\share, \\?\... and \\.\... alike: up to the next separator.
    std::size_t i = 2;
    while (i < p.size() && !is_path_separator(p[i], style)) ++i;
    return i;
  }
  return 0;
}

// The length of `p` once trailing separators are dropped, never cutting
// into the root (root name and one root separator).
std::size_t trim_trailing_separators(std::string_view p, std::size_t keep, PathStyle style) {
  std::size_t end = p.size();
  while (end > keep && is_path_separator(p[end - 1], style)) --end;
  return end;
}

}  // namespace

bool is_absolute_path(std::string_view p, PathStyle style) {
  if (style == PathStyle::kPosix) return !p.empty() && p[0] == '/';
  std::size_t root = root_name_length(p, style);
  if (root > 2) return true;  // network and device paths
  return root == 2 && p.size() > 2 && is_path_separator(p[2], style);
}

std::string join_path(std::string_view base, std::string_view rest, PathStyle style) {
  if (is_absolute_path(rest, style)) return std::string(rest);
  std::size_t base_root = root_name_length(base, style);
  std::size_t rest_root = root_name_length(rest, style);
  if (rest_root != 0) {
    // A drive-relative path on another drive stands for itself.
    if (rest.substr(0, rest_root) != base.substr(0, base_root)) return std::string(rest);
    rest.remove_prefix(rest_root);
  }
  if (!rest.empty() && is_path_separator(rest[0], style)) {
    // Rooted without a drive: the base's drive, then `rest`.
    return std::string(base.substr(0, base_root)) + std::string(rest);
  }
  std::string out(base);
  if (!base.empty() && !is_path_separator(base.back(), style) && base.size() != base_root) {
    out += style == PathStyle::kWindows ? '\\' : '/';
  }
  out += rest;
  return out;
}

std::optional<std::string_view> path_file_name(std::string_view p, PathStyle style) {
  std::size_t root = root_name_length(p, style);
  std::size_t end = trim_trailing_separators(p, root, style);
  std::size_t start = end;
  while (start > root && !is_path_separator(p[start - 1], style)) --start;
  std::string_view name = p.substr(start, end - start);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  return name;
}

std::string_view path_parent(std::string_view p, PathStyle style) {
  std::size_t root = root_name_length(p, style);
  std::size_t end = trim_trailing_separators(p, root, style);
  std::size_t start = end;
  while (start > root && !is_path_separator(p[start - 1], style)) --start;
  if (start == end) return p.substr(0, root);  // a root, or empty
  // Drop the separators before the last component, but keep a root one.
  std::size_t cut = start;
  while (cut > root + 1 && is_path_separator(p[cut - 1], style)) --cut;
  return p.substr(0, cut);
}

std::string display_path(std::string_view p, PathStyle style) {
  if (style != PathStyle::kWindows) return utf8_lossy(p);
  // Windows paths may hold unpaired surrogates (three bytes ED A0..BF xx in
  // the generalized UTF-8); each shows as one replacement character.
  std::string out;
  out.reserve(p.size());
  for (std::size_t i = 0; i < p.size();) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(p[k]); };
    if (b(i) == 0xED && i + 2 < p.size() && b(i + 1) >= 0xA0 && b(i + 1) <= 0xBF && b(i + 2) >= 0x80 &&
        b(i + 2) <= 0xBF) {
      out += "\xEF\xBF\xBD";
      i += 3;
    } else {
      out += p[i++];
    }
  }
  return utf8_lossy(out);
}

}  // namespace brevok
