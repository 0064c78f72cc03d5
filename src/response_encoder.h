// Streaming encoding of a response as one JSON line, through a fixed
// output buffer.
#pragma once

#include <cstddef>
#include <string_view>

#include "error.h"
#include "protocol.h"

namespace brevok {

inline constexpr std::size_t RESPONSE_BUFFER_BYTES = 8192;

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

}  // namespace brevok
