// Response strings must come out as the JSON library's own serialization,
// byte for byte, wherever the escapes fall relative to the output buffer,
// and the response must still leave in full buffers.
#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <random>
#include <string>
#include <vector>

#include "file_agent.h"
#include "response_encoder.h"

namespace brevok {
namespace {

struct Written {
  std::string out;
  std::vector<std::size_t> writes;
};

Written encode_error(const std::string& message) {
  Written w;
  OutputBuffer out(
      [](void* ctx, const char* data, std::size_t size) -> Result<void> {
        auto* c = static_cast<Written*>(ctx);
        c->out.append(data, size);
        c->writes.push_back(size);
        return {};
      },
      &w);
  EXPECT_TRUE(encode_response(error_response("x", message), out));
  EXPECT_TRUE(out.drain());
  return w;
}

std::string library_line(const std::string& message) {
  return R"({"protocol":1,"ok":false,"operation":"x","replacements":0,"bytes":0,"binary":false,)"
         R"("totalBytes":null,"data":null,"error":)" +
         boost::json::serialize(boost::json::string_view(message.data(), message.size())) + "}";
}

// Every byte value, alone and at every place in and around a block.
TEST(EscapeInBlocks, EveryByteAtEveryPlaceMatchesTheLibrary) {
  for (int b = 0; b < 256; ++b) {
    for (std::size_t at = 0; at < 40; ++at) {
      std::string message(40, 'm');
      message[at] = static_cast<char>(b);
      ASSERT_EQ(encode_error(message).out, library_line(message)) << "byte " << b << " at " << at;
    }
  }
}

TEST(EscapeInBlocks, RandomTextMatchesTheLibraryAndLeavesInFullBuffers) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    std::string message(rng() % 30000, '\0');
    const unsigned sparse = 1 + rng() % 200;  // one byte in this many may need escaping
    for (char& c : message) {
      c = rng() % sparse == 0 ? static_cast<char>(rng() % 256) : static_cast<char>('a' + rng() % 26);
    }
    Written w = encode_error(message);
    ASSERT_EQ(w.out, library_line(message)) << "round " << round;
    for (std::size_t i = 0; i + 1 < w.writes.size(); ++i) ASSERT_EQ(w.writes[i], RESPONSE_BUFFER_BYTES);
  }
}

}  // namespace
}  // namespace brevok
