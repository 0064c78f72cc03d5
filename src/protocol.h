// The wire format's records: the request and the response (request_decoder
// and response_encoder read and write them).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

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
