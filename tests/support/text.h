// Text helpers shared by the unit and black-box tests: a plain reference for
// JSON string escaping and for replacing every occurrence of a string.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace brevok::testing {

// The contents of a JSON string literal for `s`: the short escapes where
// JSON has them, \u00XX for the other control characters, every other byte
// as it is.
inline std::string json_escaped(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// `s` with every occurrence of `from`, taken from left to right without
// overlap, replaced by `to`.
inline std::string replaced(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t pos = 0;
  for (std::size_t at; (at = s.find(from, pos)) != std::string_view::npos; pos = at + from.size()) {
    out.append(s, pos, at - pos);
    out += to;
  }
  out.append(s, pos);
  return out;
}

}  // namespace brevok::testing
