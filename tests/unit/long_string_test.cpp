// A long string value reaches the request handler in many parts (the
// parser flushes its escape buffer as it fills), which the handler must
// join into one value reserved once. Each case here is decoded twice: as a
// short request, which arrives in one part, and with the same string made
// long by a prefix. Both must agree on every value and on every refusal.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "request_decoder.h"

namespace brevok {
namespace {

// Longer than any string the library is left to decode alone.
const std::string kPad(70000, 'x');

auto as_tuple(const FileAgentRequest& r) {
  return std::tie(r.protocol, r.operation, r.path, r.old_string, r.new_string, r.replace_all, r.content,
                  r.create_dirs, r.offset, r.limit);
}

// `make` builds the request around a JSON string body. `body` is decoded
// alone and after kPad; the long decoding must give kPad followed by the
// short one's value in the member `field` of the request, or fail when
// the short one fails. (A failure's message is the library's own on the
// input as given, so it may differ: the library notices a wrong type at
// the first part of a long string, before a bad escape further on.)
void expect_same_as_library(const std::string& body, std::string FileAgentRequest::*field,
                            const std::function<std::string(const std::string&)>& make) {
  SCOPED_TRACE("body: " + body);
  auto short_result = decode_request(make(body));
  auto long_result = decode_request(make(kPad + body));
  ASSERT_EQ(short_result.has_value(), long_result.has_value())
      << (short_result ? long_result.error().full() : short_result.error().full());
  if (short_result) {
    FileAgentRequest want = *short_result;
    want.*field = kPad + want.*field;
    EXPECT_TRUE(as_tuple(*long_result) == as_tuple(want));
  }
}

std::string content_request(const std::string& body) {
  return R"({"protocol":1,"operation":"write","path":"/f","content":")" + body + R"("})";
}

const std::vector<std::string> kBodies = {
    "",
    "plain text",
    R"(\n\t\"\\\/\b\f\r)",
    R"(\u0000)",
    R"(\u001f\u0020\u007F)",
    R"(\u00e9\u00E9)",
    R"(\u20AC)",
    R"(\uFFFF)",
    R"(\uD83D\uDE00)",
    R"(\uDBFF\uDFFF)",
    R"(\uD800\uDC00)",
    R"(\uD83D)",
    R"(\uD83Dx)",
    R"(\uD83D\u0041)",
    R"(\uD83D\uD83D)",
    R"(\uD83D\n)",
    R"(\uDE00)",
    R"(\u12G4)",
    R"(\u12)",
    R"(\u)",
    R"(\x)",
    R"(\U0041)",
    R"(\')",
    "\\",
    "\x01",
    "\x1f",
    "\t",
    "\x7f",
    "\xC3\xA9",
    "\xE2\x82\xAC",
    "\xF0\x9F\x98\x80",
    "\xF4\x8F\xBF\xBF",
    "\xC3",
    "\xC3\x28",
    "\xC0\xAF",
    "\xC1\xBF",
    "\xE0\x80\x80",
    "\xE0\xA0\x80",
    "\xED\x9F\xBF",
    "\xED\xA0\x80",
    "\xEF\xBF",
    "\xF0\x8F\xBF\xBF",
    "\xF0\x90\x80\x80",
    "\xF4\x90\x80\x80",
    "\xF5\x80\x80\x80",
    "\xFF",
    "\x80",
    "\xE2\x82\\n",
};

class LongString : public ::testing::TestWithParam<std::string> {};

TEST_P(LongString, DecodesAsTheLibraryDoes) {
  expect_same_as_library(GetParam(), &FileAgentRequest::content, content_request);
}

// The same bodies at every place relative to the blocks the loop reads:
// first, in the middle, and last in the string.
TEST_P(LongString, DecodesAsTheLibraryDoesAtEveryAlignment) {
  for (std::size_t shift = 0; shift < 40; ++shift) {
    std::string before(shift, 'a');
    std::string after(40 - shift, 'b');
    expect_same_as_library(before + GetParam() + after, &FileAgentRequest::content, content_request);
    expect_same_as_library(before + GetParam(), &FileAgentRequest::content, content_request);
  }
}

INSTANTIATE_TEST_SUITE_P(Bodies, LongString, ::testing::ValuesIn(kBodies));

struct PlaceCase {
  std::string name;
  std::string FileAgentRequest::*field;
  std::function<std::string(const std::string&)> make;
};

// A long string in every place a string can stand.
std::vector<PlaceCase> place_cases() {
  return {
      {"path", &FileAgentRequest::path,
       [](const std::string& b) { return R"({"protocol":1,"operation":"write","path":")" + b + R"("})"; }},
      {"old_and_new", &FileAgentRequest::old_string,
       [](const std::string& b) {
         return R"({"protocol":1,"operation":"edit","path":"/f","oldString":")" + b + R"(","newString":"n"})";
       }},
      {"followed_by_whitespace", &FileAgentRequest::new_string,
       [](const std::string& b) {
         return "{ \"newString\" : \"" + b + "\" \r\n, \"protocol\":1,\"operation\":\"edit\",\"path\":\"/f\" }\n";
       }},
      {"array_form", &FileAgentRequest::content,
       [](const std::string& b) { return R"([1,"write","/f","","",false,")" + b + R"("])"; }},
      {"unknown_member_beside", &FileAgentRequest::content,
       [](const std::string& b) {
         return R"({"protocol":1,"x":")" + b + R"(","operation":"write","path":"/f","content":")" + b + R"("})";
       }},
      {"inside_unknown_member", &FileAgentRequest::content,
       [](const std::string& b) {
         return R"({"protocol":1,"x":{"y":[")" + b + R"("]},"operation":"write","path":"/f","content":")" + b +
                R"("})";
       }},
      {"as_member_name", &FileAgentRequest::content,
       [](const std::string& b) {
         return R"({"protocol":1,")" + b + R"(":1,"operation":"write","path":"/f","content":")" + b + R"("})";
       }},
      {"twice", &FileAgentRequest::content,
       [](const std::string& b) {
         return R"({"protocol":1,"operation":"write","path":"/f","content":")" + b + R"(","content":")" + b +
                R"("})";
       }},
      {"for_an_integer", &FileAgentRequest::content,
       [](const std::string& b) { return R"({"protocol":")" + b + R"(","operation":"write","path":"/f"})"; }},
      {"without_path", &FileAgentRequest::content,
       [](const std::string& b) { return R"({"protocol":1,"operation":"write","content":")" + b + R"("})"; }},
      {"short_array", &FileAgentRequest::operation, [](const std::string& b) { return R"([1,")" + b + R"("])"; }},
      {"top_level_string", &FileAgentRequest::content, [](const std::string& b) { return "\"" + b + "\""; }},
      {"trailing_value", &FileAgentRequest::content,
       [](const std::string& b) { return content_request(b) + " {}"; }},
      {"unterminated", &FileAgentRequest::content,
       [](const std::string& b) { return R"({"protocol":1,"operation":"write","path":"/f","content":")" + b; }},
      {"unclosed_object", &FileAgentRequest::content,
       [](const std::string& b) {
         return R"({"protocol":1,"operation":"write","path":"/f","content":")" + b + "\"";
       }},
  };
}

class LongStringPlace : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(LongStringPlace, DecodesAsTheLibraryDoes) {
  for (const std::string body : {"text", R"(a\"b\\)", R"(\uD83D\uDE00\n)", "bad\x01", R"(\q)"}) {
    expect_same_as_library(body, GetParam().field, GetParam().make);
  }
}

INSTANTIATE_TEST_SUITE_P(Places, LongStringPlace, ::testing::ValuesIn(place_cases()),
                         [](const auto& info) { return info.param.name; });

// Random bodies of escapes, hexadecimal digits, quotation marks, control
// characters and bytes of multi-byte sequences, valid or not.
TEST(LongStringRandom, DecodesAsTheLibraryDoes) {
  const std::vector<std::string> pieces = {
      "a", " ", "\\", "\\\\", "\\\"", "\"", "\\n", "\\u", "\\uD8", "\\uDC", "0", "F", "e", "/",
      "\x01", "\x7f", "\xC3", "\xA9", "\xE2\x82\xAC", "\xED", "\xA0", "\xF0\x9F", "\x98\x80", "\xFF",
  };
  std::mt19937 rng(12345);
  for (int n = 0; n < 400; ++n) {
    std::string body;
    std::size_t len = rng() % 24;
    for (std::size_t i = 0; i < len; ++i) body += pieces[rng() % pieces.size()];
    expect_same_as_library(body, &FileAgentRequest::content, content_request);
  }
}

}  // namespace
}  // namespace brevok
