// The wire format's records: the request with the table of its members, and
// the response (request_decoder and response_encoder read and write them).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "byte_buffer.h"

namespace brevok {

inline constexpr std::uint32_t FILE_AGENT_PROTOCOL = 1;

struct FileAgentRequest {
  std::uint32_t protocol = 0;
  std::string operation;
  std::string path;
  std::string old_string;
  std::string new_string;
  bool replace_all = false;
  std::string content;
  bool create_dirs = false;
  std::uint64_t offset = 1;
  std::uint64_t limit = 2000;
};

// Where a member's value is stored. The type of the field is the member's
// kind: a string, a boolean or an unsigned integer of that width; a field of
// any other type is no alternative here and does not compile.
using RequestField = std::variant<std::string FileAgentRequest::*, bool FileAgentRequest::*,
                                  std::uint32_t FileAgentRequest::*, std::uint64_t FileAgentRequest::*>;

// A missing optional member leaves its field at the default above.
enum class Presence : bool { kOptional, kRequired };

struct RequestMember {
  std::string_view name;  // exactly as on the wire
  RequestField field;
  Presence presence;
};

// The request's members, one row each, in the order of the array form (and
// of the missing-member check). The decoder knows no member but these.
inline constexpr auto REQUEST_MEMBERS = std::to_array<RequestMember>({
    {"protocol", &FileAgentRequest::protocol, Presence::kRequired},
    {"operation", &FileAgentRequest::operation, Presence::kRequired},
    {"path", &FileAgentRequest::path, Presence::kRequired},
    {"oldString", &FileAgentRequest::old_string, Presence::kOptional},
    {"newString", &FileAgentRequest::new_string, Presence::kOptional},
    {"replaceAll", &FileAgentRequest::replace_all, Presence::kOptional},
    {"content", &FileAgentRequest::content, Presence::kOptional},
    {"createDirs", &FileAgentRequest::create_dirs, Presence::kOptional},
    {"offset", &FileAgentRequest::offset, Presence::kOptional},
    {"limit", &FileAgentRequest::limit, Presence::kOptional},
});

struct LineChange {
  std::uint64_t line = 0;
  std::string removed;
  std::string added;
};

struct EditDiff {
  std::vector<LineChange> changes;
  bool truncated = false;
};

struct FileAgentResponse {
  std::uint32_t protocol = FILE_AGENT_PROTOCOL;
  bool ok = false;
  std::string operation;
  std::uint64_t replacements = 0;
  std::uint64_t bytes = 0;
  bool binary = false;
  std::optional<std::uint64_t> total_bytes;
  // The raw bytes whose Base64 text is `data` on the wire. The encoder
  // writes the Base64 straight into the output buffer, so the text is never
  // held whole in memory.
  std::optional<ByteBuffer> data;
  std::optional<EditDiff> diff;
  std::optional<std::string> error;
};

}  // namespace brevok
