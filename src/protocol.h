// The wire format: the request and response records, strict decoding of the
// request and streaming encoding of the response.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform.h"

namespace brevok {

inline constexpr std::uint32_t FILE_AGENT_PROTOCOL = 1;
inline constexpr std::size_t RESPONSE_BUFFER_BYTES = 8192;

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

// Decodes the whole buffer as one request, object or array form, with
// nothing but whitespace around it. The error message is ours, with the
// position in the input.
Result<FileAgentRequest> decode_request(std::string_view input);

// Where encoded bytes go: a fixed buffer that writes through to a sink when
// it is full.
class OutputBuffer {
 public:
  using Sink = Result<void> (*)(void* ctx, const char* data, std::size_t size);
  OutputBuffer(Sink sink, void* ctx) : sink_(sink), ctx_(ctx) {}

  Result<void> write(std::string_view bytes);
  Result<void> put(char c) {
    if (len_ == sizeof(buf_)) {
      if (auto r = drain(); !r) return r;
    }
    buf_[len_++] = c;
    return {};
  }
  // Writes whatever is buffered to the sink.
  Result<void> drain();

  // Free room at the end of the buffer, to be filled and then committed.
  char* room() { return buf_ + len_; }
  std::size_t room_size() const { return sizeof(buf_) - len_; }
  void commit(std::size_t n) { len_ += n; }

 private:
  Sink sink_;
  void* ctx_;
  std::size_t len_ = 0;
  char buf_[RESPONSE_BUFFER_BYTES];
};

// Encodes the response as one compact JSON object (no line feed). Errors
// are those of the output buffer's sink, unwrapped.
Result<void> encode_response(const FileAgentResponse& response, OutputBuffer& out);

// RFC 4648 Base64 (standard alphabet, padded) of `size` bytes.
std::size_t base64_encoded_size(std::size_t size);
// Encodes whole groups of three bytes: `size` must be a multiple of 3 unless
// this is the last piece. `out` must hold base64_encoded_size(size) chars.
void base64_encode(const char* data, std::size_t size, char* out);
// The same without vector instructions; base64_encode uses them where the
// processor has them.
void base64_encode_portable(const char* data, std::size_t size, char* out);

bool is_valid_utf8(std::string_view bytes);
// The bytes as UTF-8 text, each maximal invalid subsequence replaced by
// U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace brevok
