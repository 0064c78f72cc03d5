// Test-side encoding of a FileAgentRequest, written independently of the
// agent's decoder, so that a decoded request can be encoded again and the
// two compared member by member.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "protocol.h"

namespace brevok::fuzzing {

// A JSON string literal: quotation mark, reverse solidus and control
// characters escaped, everything else (UTF-8 included) as it is.
inline std::string json_text(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline std::string json_bool(bool b) { return b ? "true" : "false"; }

// Object form with all ten members, in reverse order to show that order
// does not matter.
inline std::string encode_object(const FileAgentRequest& r) {
  return "{\"limit\":" + std::to_string(r.limit) + ",\"offset\":" + std::to_string(r.offset) +
         ",\"createDirs\":" + json_bool(r.create_dirs) + ",\"content\":" + json_text(r.content) +
         ",\"replaceAll\":" + json_bool(r.replace_all) + ",\"newString\":" + json_text(r.new_string) +
         ",\"oldString\":" + json_text(r.old_string) + ",\"path\":" + json_text(r.path) +
         ",\"operation\":" + json_text(r.operation) + ",\"protocol\":" + std::to_string(r.protocol) + "}";
}

// Array form with all ten elements.
inline std::string encode_array(const FileAgentRequest& r) {
  return "[" + std::to_string(r.protocol) + "," + json_text(r.operation) + "," + json_text(r.path) + "," +
         json_text(r.old_string) + "," + json_text(r.new_string) + "," + json_bool(r.replace_all) + "," +
         json_text(r.content) + "," + json_bool(r.create_dirs) + "," + std::to_string(r.offset) + "," +
         std::to_string(r.limit) + "]";
}

inline bool same_request(const FileAgentRequest& a, const FileAgentRequest& b) {
  return a.protocol == b.protocol && a.operation == b.operation && a.path == b.path &&
         a.old_string == b.old_string && a.new_string == b.new_string && a.replace_all == b.replace_all &&
         a.content == b.content && a.create_dirs == b.create_dirs && a.offset == b.offset && a.limit == b.limit;
}

}  // namespace brevok::fuzzing
