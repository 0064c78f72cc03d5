// The Base64 encoder takes vector instructions where the processor has
// them; its output must be the portable encoder's, which is checked against
// the known encodings here.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base64.h"

namespace brevok {
namespace {

std::string encode(const std::string& in, void (*encoder)(const char*, std::size_t, char*)) {
  std::string out(base64_encoded_size(in.size()), '?');
  encoder(in.data(), in.size(), out.data());
  return out;
}

struct Known {
  std::string in;
  std::string out;
};

class Base64Known : public ::testing::TestWithParam<Known> {};

TEST_P(Base64Known, PortableEncoderGivesTheStandardText) {
  EXPECT_EQ(encode(GetParam().in, base64_encode_portable), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Known,
                         ::testing::Values(Known{"", ""}, Known{"f", "Zg=="}, Known{"fo", "Zm8="},
                                           Known{"foo", "Zm9v"}, Known{"foob", "Zm9vYg=="},
                                           Known{"fooba", "Zm9vYmE="}, Known{"foobar", "Zm9vYmFy"},
                                           Known{std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f"
                                                             "\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71\xd7\x9f"
                                                             "\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf"
                                                             "\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf",
                                                             48),
                                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"}));

// Every length up to a few vector steps, over random bytes and over the
// bytes that give the first and last characters of the alphabet.
TEST(Base64, EncoderMatchesPortableEncoderAtEveryLength) {
  std::mt19937 rng(2024);
  for (std::size_t len = 0; len <= 200; ++len) {
    for (int fill = 0; fill < 4; ++fill) {
      std::string in(len, '\0');
      for (char& c : in) c = fill == 0 ? static_cast<char>(rng()) : fill == 1 ? '\0' : fill == 2 ? '\xff' : '\xfb';
      SCOPED_TRACE("length " + std::to_string(len) + " fill " + std::to_string(fill));
      EXPECT_EQ(encode(in, base64_encode), encode(in, base64_encode_portable));
    }
  }
}

TEST(Base64, EncoderMatchesPortableEncoderOnLargeRandomInput) {
  std::mt19937 rng(7);
  std::string in(1 << 20, '\0');
  for (char& c : in) c = static_cast<char>(rng());
  EXPECT_EQ(encode(in, base64_encode), encode(in, base64_encode_portable));
}

}  // namespace
}  // namespace brevok
