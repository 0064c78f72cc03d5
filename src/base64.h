// Base64 encoding of file contents, with a vector path where the processor
// has one.
#pragma once

#include <cstddef>

namespace brevok {

// RFC 4648 Base64 (standard alphabet, padded) of `size` bytes.
std::size_t base64_encoded_size(std::size_t size);
// Encodes whole groups of three bytes: `size` must be a multiple of 3 unless
// this is the last piece. `out` must hold base64_encoded_size(size) chars.
void base64_encode(const char* data, std::size_t size, char* out);
// The same without vector instructions; base64_encode uses them where the
// processor has them.
void base64_encode_portable(const char* data, std::size_t size, char* out);

}  // namespace brevok
