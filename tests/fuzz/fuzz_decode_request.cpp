// libFuzzer target: the request decoder on arbitrary bytes.
//
// Invariants: decoding either fails with a message or yields a request
// whose members are all valid UTF-8 and which, encoded again (object and
// array form, by an encoder of the tests' own), decodes to the same ten
// members; whitespace after a decodable request changes nothing, anything
// else after it is refused.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "request_codec.h"
#include "request_decoder.h"
#include "utf8.h"

namespace {

[[noreturn]] void violated(const char* what, std::string_view detail) {
  std::fprintf(stderr, "invariant violated: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevok;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto decoded = decode_request(input);
  if (!decoded) {
    if (decoded.error().outermost().empty()) violated("a refusal without a message", input);
    return 0;
  }
  const FileAgentRequest& r = *decoded;
  for (const std::string* s : {&r.operation, &r.path, &r.old_string, &r.new_string, &r.content}) {
    if (!is_valid_utf8(*s)) violated("a decoded member that is not valid UTF-8", *s);
  }

  for (const std::string& again : {fuzzing::encode_object(r), fuzzing::encode_array(r)}) {
    auto redecoded = decode_request(again);
    if (!redecoded) violated("the re-encoded request does not decode", again + "\n" + redecoded.error().full());
    if (!fuzzing::same_request(*redecoded, r)) violated("the re-encoded request decodes differently", again);
  }

  std::string padded(input);
  padded += " \t\r\n";
  auto with_space = decode_request(padded);
  if (!with_space || !fuzzing::same_request(*with_space, r)) violated("trailing whitespace changed the result", input);
  padded += "0";
  if (decode_request(padded)) violated("content after the request was accepted", padded);
  return 0;
}
