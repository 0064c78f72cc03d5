// Streaming encoding of a response as one JSON line, through a fixed
// output buffer.
#pragma once

#include <cstddef>
#include <string_view>

#include "byte_buffer.h"
#include "error.h"
#include "protocol.h"

namespace brevok {

inline constexpr std::size_t RESPONSE_BUFFER_BYTES = 8192;
// Base64 data of RESPONSE_WIDE_DATA_BYTES or more is encoded into a buffer
// of RESPONSE_WIDE_BUFFER_BYTES instead: a whole-file preview of 512 MiB
// then takes 683 write calls rather than 87,381, each of which costs more
// than encoding its 8 KiB. Below that size the wide buffer's fresh pages
// cost about what the writes it saves do (measured, 1 to 16 MiB of data).
inline constexpr std::size_t RESPONSE_WIDE_BUFFER_BYTES = std::size_t(1) << 20;
inline constexpr std::size_t RESPONSE_WIDE_DATA_BYTES = std::size_t(16) << 20;

// Where encoded bytes go: a buffer that writes through to a sink when it is
// full, of RESPONSE_BUFFER_BYTES until widened.
class OutputBuffer {
 public:
  using Sink = Result<void> (*)(void* ctx, const char* data, std::size_t size);
  OutputBuffer(Sink sink, void* ctx) : sink_(sink), ctx_(ctx) {}
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  Result<void> write(std::string_view bytes);
  Result<void> put(char c) {
    if (len_ == size_) {
      if (auto r = drain(); !r) return r;
    }
    buf_[len_++] = c;
    return {};
  }
  // Writes whatever is buffered to the sink.
  Result<void> drain();
  // From now on buffers RESPONSE_WIDE_BUFFER_BYTES, keeping what is
  // buffered. Where that memory cannot be had, the buffer stays as it is:
  // the bytes written are the same either way.
  void widen();

  // Free room at the end of the buffer, to be filled and then committed.
  char* room() { return buf_ + len_; }
  std::size_t room_size() const { return size_ - len_; }
  void commit(std::size_t n) { len_ += n; }

 private:
  Sink sink_;
  void* ctx_;
  char* buf_ = narrow_;
  std::size_t size_ = RESPONSE_BUFFER_BYTES;
  std::size_t len_ = 0;
  ByteBuffer wide_;
  char narrow_[RESPONSE_BUFFER_BYTES];
};

// Encodes the response as one compact JSON object (no line feed). Errors
// are those of the output buffer's sink, unwrapped.
Result<void> encode_response(const FileAgentResponse& response, OutputBuffer& out);

}  // namespace brevok
