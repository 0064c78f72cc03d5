// Strict decoding of a request from its JSON text.
#pragma once

#include <string_view>

#include "error.h"
#include "protocol.h"

namespace brevok {

// Decodes the whole buffer as one request, object or array form, with
// nothing but whitespace around it. The error message is ours, with the
// position in the input.
Result<FileAgentRequest> decode_request(std::string_view input);

}  // namespace brevok
