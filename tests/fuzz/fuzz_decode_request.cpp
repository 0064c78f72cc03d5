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
static std::string json(bool v) { return v ? "true" : "false"; }
static std::string json(std::integral auto v) { return std::to_string(v); }

static std::string encode(const brevok::Result<brevok::FileAgentRequest>& r) {  // every member of the table, in order
  std::string out;
  if (r) for (const auto& m : brevok::REQUEST_MEMBERS) std::visit([&](auto f) { out += "," + json((*r).*f); }, m.field);
  return r ? "[" + out.substr(1) + "]" : "refused";
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
