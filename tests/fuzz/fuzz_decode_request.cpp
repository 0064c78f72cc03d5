// libFuzzer target: the request decoder on arbitrary bytes. A refusal has a message; a request has UTF-8 members
// and decodes the same when encoded again (array form, every member) or followed by whitespace, but not otherwise.
#include <cstdint>
#include <cstdlib>

#include "request_decoder.h"
#include "utf8.h"

static std::string json(std::string_view s) {
  if (!brevok::is_valid_utf8(s)) std::abort();
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c != '"' && c != '\\') out += static_cast<char>(c);
    else out += std::string("\\u00") + "0123456789abcdef"[c >> 4] + "0123456789abcdef"[c & 15];
  }
  return out + "\"";
}

static std::string encode(const brevok::Result<brevok::FileAgentRequest>& r) {
  auto b = [](bool v) { return v ? ",true," : ",false,"; };
  return !r ? "refused" : "[" + std::to_string(r->protocol) + "," + json(r->operation) + "," + json(r->path) + "," +
                              json(r->old_string) + "," + json(r->new_string) + b(r->replace_all) + json(r->content) +
                              b(r->create_dirs) + std::to_string(r->offset) + "," + std::to_string(r->limit) + "]";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  auto r = brevok::decode_request(input);
  if (!r && r.error().outermost().empty()) std::abort();
  if (!r) return 0;
  const std::string once = encode(r);
  const bool same = encode(brevok::decode_request(once)) == once &&
                    encode(brevok::decode_request(input + " \t\r\n")) == once;
  if (!same || brevok::decode_request(input + " 0")) std::abort();
  return 0;
}
