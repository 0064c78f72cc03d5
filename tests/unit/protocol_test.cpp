// The wire format: strict decoding of the request, byte-exact encoding of
// the response.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "file_agent.h"
#include "request_decoder.h"
#include "response_encoder.h"
#include "text.h"

namespace brevok {
namespace {

using namespace std::string_literals;

auto as_tuple(const FileAgentRequest& r) {
  return std::tie(r.protocol, r.operation, r.path, r.old_string, r.new_string, r.replace_all, r.content,
                  r.create_dirs, r.offset, r.limit);
}

FileAgentRequest request(std::uint32_t protocol = 1, std::string operation = "op", std::string path = "p") {
  FileAgentRequest r;
  r.protocol = protocol;
  r.operation = std::move(operation);
  r.path = std::move(path);
  return r;
}

struct DecodeCase {
  std::string name;
  std::string input;
  std::optional<FileAgentRequest> want;  // nullopt: the input is refused
  std::string message_has;               // refused: text the message must hold
};

DecodeCase accept(std::string name, std::string input, FileAgentRequest want = request()) {
  return {std::move(name), std::move(input), std::move(want), ""};
}
DecodeCase refuse(std::string name, std::string input, std::string message_has = "") {
  return {std::move(name), std::move(input), std::nullopt, std::move(message_has)};
}

const std::string kMinimal = R"({"protocol":1,"operation":"op","path":"p"})";
// The rest of a minimal object after a leading member.
const std::string kTail = R"("protocol":1,"operation":"op","path":"p"})";

std::string nested(std::size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }
std::string nested_objects(std::size_t levels) {
  std::string s;
  for (std::size_t i = 0; i < levels; ++i) s += R"({"a":)";
  return s + "1" + std::string(levels, '}');
}
std::string with_path(const std::string& path_json) {
  return R"({"protocol":1,"operation":"op","path":)" + path_json + "}";
}

FileAgentRequest all_members() {
  FileAgentRequest r = request(1, "edit", "/f");
  r.old_string = "o";
  r.new_string = "n";
  r.replace_all = true;
  r.content = "c";
  r.create_dirs = true;
  r.offset = 0;
  r.limit = 5;
  return r;
}

const char* const kNames[] = {"protocol",   "operation", "path",   "oldString", "newString",
                              "replaceAll", "content",   "createDirs", "offset", "limit"};
const char* const kValues[] = {"1", R"("edit")", R"("/f")", R"("o")", R"("n")", "true", R"("c")", "true", "0", "5"};

// The ten members as an object (or the first `n` as an array), member
// `replaced` holding `value` instead.
std::string object_with(int replaced = -1, const std::string& value = "") {
  std::string s = "{";
  for (int i = 0; i < 10; ++i) {
    s += (i ? ",\"" : "\"") + std::string(kNames[i]) + "\":" + (i == replaced ? value : kValues[i]);
  }
  return s + "}";
}
std::string array_with(int n, int replaced = -1, const std::string& value = "") {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + (i == replaced ? value : std::string(kValues[i]));
  return s + "]";
}

std::vector<DecodeCase> decode_cases() {
  FileAgentRequest seven = request(1, "edit", "/f");
  seven.old_string = "o";
  seven.new_string = "n";
  seven.replace_all = true;
  seven.content = "c";
  FileAgentRequest big = request(4294967295u);
  big.offset = 18446744073709551615u;
  big.limit = 18446744073709551615u;
  FileAgentRequest zeros = request(0);
  zeros.offset = 0;
  zeros.limit = 0;

  std::vector<DecodeCase> v = {
      // Both forms.
      accept("MinimalObject", kMinimal),
      accept("MembersInAnyOrder", R"({"path":"p","operation":"op","protocol":1})"),
      accept("AllTenMembers", object_with(), all_members()),
      accept("ArrayOfThree", R"([1,"op","p"])"),
      accept("ArrayOfSeven", array_with(7), seven),
      accept("ArrayOfTen", array_with(10), all_members()),
      refuse("ArrayOfEleven", R"([1,"op","p","","",false,"",false,1,2000,0])"),
      refuse("ArrayOfElevenContainer", R"([1,"op","p","","",false,"",false,1,2000,[]])"),
      refuse("ArrayOfTwo", R"([1,"op"])", "struct FileAgentRequest with 10 elements"),
      refuse("ArrayOfOne", "[1]", "struct FileAgentRequest with 10 elements"),
      refuse("EmptyArray", "[]", "struct FileAgentRequest with 10 elements"),
      refuse("TopLevelString", R"("x")", "struct FileAgentRequest"),
      refuse("TopLevelInteger", "1", "struct FileAgentRequest"),
      refuse("TopLevelNegative", "-1", "struct FileAgentRequest"),
      refuse("TopLevelFraction", "1.5", "struct FileAgentRequest"),
      refuse("TopLevelTrue", "true", "struct FileAgentRequest"),
      refuse("TopLevelNull", "null", "struct FileAgentRequest"),
      refuse("Empty", ""),
      refuse("WhitespaceOnly", " \t\r\n"),
      // Integers.
      accept("IntegerRangeLimits",
             R"({"protocol":4294967295,"operation":"op","path":"p","offset":18446744073709551615,)"
             R"("limit":18446744073709551615})",
             big),
      accept("IntegerZeros", R"({"protocol":0,"operation":"op","path":"p","offset":0,"limit":0})", zeros),
      refuse("ProtocolAboveRange", R"({"protocol":4294967296,"operation":"op","path":"p"})"),
      refuse("ProtocolMinusZero", R"({"protocol":-0,"operation":"op","path":"p"})"),
      refuse("ProtocolMinusZeroInArray", R"([-0,"op","p"])"),
      refuse("ProtocolMinusOne", R"({"protocol":-1,"operation":"op","path":"p"})"),
      refuse("ProtocolFraction", R"({"protocol":1.0,"operation":"op","path":"p"})"),
      refuse("ProtocolExponent", R"({"protocol":1e0,"operation":"op","path":"p"})"),
      refuse("ProtocolLeadingZero", R"({"protocol":01,"operation":"op","path":"p"})"),
      refuse("ProtocolString", R"({"protocol":"1","operation":"op","path":"p"})"),
      refuse("ProtocolBoolean", R"({"protocol":true,"operation":"op","path":"p"})"),
      refuse("OffsetMinusZero", R"({"offset":-0,)" + kTail),
      refuse("OffsetMinusOne", R"({"offset":-1,)" + kTail),
      refuse("OffsetFraction", R"({"offset":1.5,)" + kTail),
      refuse("OffsetExponent", R"({"offset":1e3,)" + kTail),
      refuse("OffsetUpperExponent", R"({"offset":1E3,)" + kTail),
      refuse("OffsetLeadingZero", R"({"offset":01,)" + kTail),
      refuse("OffsetAboveRange", R"({"offset":18446744073709551616,)" + kTail),
      refuse("LimitAboveRange", R"({"limit":18446744073709551616,)" + kTail),
      refuse("LimitFarAboveRange", R"({"limit":123456789012345678901234567890,)" + kTail),
      refuse("LimitString", R"({"limit":"5",)" + kTail),
      // Other types.
      refuse("ReplaceAllString", R"({"replaceAll":"true",)" + kTail),
      refuse("ReplaceAllNumber", R"({"replaceAll":1,)" + kTail),
      refuse("CreateDirsZero", R"({"createDirs":0,)" + kTail),
      refuse("PathNumber", R"({"protocol":1,"operation":"op","path":5})"),
      refuse("OperationArray", R"({"protocol":1,"operation":["op"],"path":"p"})"),
      refuse("ContentObject", R"({"content":{},)" + kTail),
      refuse("ArrayPathObject", R"([1,"op",{}])"),
      refuse("ArrayReplaceAllString", R"([1,"op","p","","","true"])"),
      // Duplicates and missing members.
      refuse("PathTwiceSameValue", R"({"path":"p",)" + kTail),
      refuse("ProtocolTwice", R"({"protocol":1,)" + kTail),
      refuse("ReplaceAllTwice", R"({"replaceAll":false,"replaceAll":false,)" + kTail),
      refuse("PathTwiceThroughEscape", R"({"p\u0061th":"q",)" + kTail),
      accept("EscapedKnownName", R"({"protoc\u006fl":1,"operation":"op","p\u0061th":"p"})"),
      accept("UnknownMemberTwice", R"({"x":1,"x":2,)" + kTail),
      refuse("MissingAll", "{}", "protocol"),
      refuse("MissingProtocolFirst", R"({"path":"p"})", "protocol"),
      refuse("MissingOperationBeforePath", R"({"protocol":1})", "operation"),
      refuse("MissingPath", R"({"protocol":1,"operation":"op"})", "path"),
      refuse("MissingPathWithOtherProtocol", R"({"protocol":2,"operation":"nope"})", "path"),
      refuse("NameDiffersInCase", R"({"protocol":1,"operation":"op","Path":"p"})", "path"),
      refuse("NameWithNulIsNotPath", R"({"protocol":1,"operation":"op","path\u0000":"p"})", "path"),
      // Unknown members.
      accept("UnknownCaseVariant", R"({"Path":5,)" + kTail),
      accept("UnknownNameWithNul", R"({"path\u0000":5,"protocol\u0000":null,)" + kTail),
      accept("UnknownLongNameWithKnownPrefix", R"({"protocolprotocolprotocol":"x","pathpathpathpathpath":1,)" + kTail),
      accept("UnknownEmptyName", R"({"":null,)" + kTail),
      accept("UnknownOddValues",
             R"({"x":[-0,-0.0,1e999,-1E-5,18446744073709551616,1.5,null,true,false,{},[],"",)"
             R"("\ud83d\ude00\u0000",{"protocol":"x","path":null,"path":[1]}],)" +
                 kTail),
      accept("UnknownHoldingKnownNamesInside", R"({"x":{"protocol":1,"operation":"op","path":"p"},)" + kTail),
      accept("UnknownDepth127", R"({"x":)" + nested(126) + "," + kTail),
      accept("UnknownObjectsDepth127", R"({"x":)" + nested_objects(126) + "," + kTail),
      refuse("UnknownObjectsDepth128", R"({"x":)" + nested_objects(127) + "," + kTail),
      refuse("UnknownDepth128", R"({"x":)" + nested(127) + "," + kTail),
      refuse("UnknownDepth100000", R"({"x":)" + nested(100000) + "," + kTail),
      refuse("ArrayDepth100000", std::string(100000, '[')),
      // Exponents beyond the range of a 32-bit int are well-formed too.
      accept("UnknownHugeExponents",
             R"({"x":[1e2147483648,-1E-99999999999,0.5e+000000000000000000001,1e2147483647],)" + kTail),
      accept("UnknownHugeExponentAfterLongMantissa", R"({"x":1)" + std::string(100000, '0') + "e2147483600," + kTail),
      accept("HugeExponentLookalikeInString",
             R"({"x":1e2147483648,"protocol":1,"operation":"op","path":"a\"e99999999999\\"})",
             request(1, "op", "a\"e99999999999\\")),
      refuse("OffsetHugeExponent", R"({"offset":1e2147483648,)" + kTail),
      refuse("HugeExponentThenMalformed", R"({"x":1e2147483648,"y":tru,)" + kTail),
      refuse("UnknownTrailingComma", R"({"x":[1,2,],)" + kTail),
      refuse("UnknownBadLiteral", R"({"x":tru,)" + kTail),
      refuse("UnknownNaN", R"({"x":NaN,)" + kTail),
      refuse("UnknownLeadingZero", R"({"x":01,)" + kTail),
      refuse("UnknownBadEscape", R"({"x":"\q",)" + kTail),
      refuse("UnknownComment", R"({"x":/*c*/1,)" + kTail),
      refuse("UnknownLoneSurrogate", R"({"x":"\ud800",)" + kTail),
      refuse("UnknownInvalidUtf8", "{\"x\":\"\xff\"," + kTail),
      refuse("UnknownControlCharacter", "{\"x\":\"\x01\"," + kTail),
      refuse("UnknownUnclosed", R"({"x":[1,)" + kTail),
      // Strings.
      accept("Escapes", with_path(R"("\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")"),
             request(1, "op", "\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80")),
      accept("EscapedBackslashBeforeQuote", with_path(R"("a\\")"), request(1, "op", "a\\")),
      accept("EscapeFirst", with_path(R"("\u0041bc")"), request(1, "op", "Abc")),
      accept("NulEscape", with_path(R"("a\u0000b")"), request(1, "op", "a\0b"s)),
      accept("RawUtf8AndDelete", with_path("\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\""),
             request(1, "op", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f")),
      accept("EmptyStrings", R"({"protocol":1,"operation":"","path":"","oldString":""})", request(1, "", "")),
      refuse("LoneHighSurrogate", with_path(R"("\ud800")")),
      refuse("LoneLowSurrogate", with_path(R"("\udc00")")),
      refuse("ReversedSurrogates", with_path(R"("\udc00\ud800")")),
      refuse("HighSurrogateThenLetter", with_path(R"("\ud800x")")),
      refuse("HighSurrogateThenEscapedLetter", with_path(R"("\ud800\u0041")")),
      refuse("InvalidUtf8Byte", with_path("\"\xff\"")),
      refuse("OverlongUtf8", with_path("\"\xc0\xaf\"")),
      refuse("EncodedSurrogateUtf8", with_path("\"\xed\xa0\x80\"")),
      refuse("AboveUnicodeUtf8", with_path("\"\xf4\x90\x80\x80\"")),
      refuse("TruncatedUtf8", with_path("\"\xe2\x82\"")),
      refuse("InvalidUtf8InKey", "{\"\xff\":1," + kTail),
      refuse("RawControlCharacter", with_path("\"a\x01\"")),
      refuse("RawUnitSeparator", with_path("\"a\x1f\"")),
      refuse("RawLineFeed", with_path("\"a\nb\"")),
      refuse("RawTab", with_path("\"a\tb\"")),
      refuse("SingleQuotes", R"({'protocol':1,"operation":"op","path":"p"})"),
      // Around the value.
      accept("WhitespaceAround", " \t\r\n" + kMinimal + " \t\r\n"),
      accept("TrailingLineFeed", kMinimal + "\n"),
      accept("TrailingCarriageReturnLineFeed", kMinimal + "\r\n"),
      refuse("ByteOrderMark", "\xef\xbb\xbf" + kMinimal),
      refuse("SecondValue", kMinimal + "{}"),
      refuse("TrailingNumber", kMinimal + " 1"),
      refuse("TrailingLetter", kMinimal + "x"),
      refuse("TrailingFormFeed", kMinimal + "\f"),
      refuse("TrailingNul", kMinimal + "\0"s),
      refuse("TrailingNoBreakSpace", kMinimal + "\xc2\xa0"),
      refuse("TrailingCommaInRequest", R"({"protocol":1,"operation":"op","path":"p",})"),
      refuse("Unclosed", R"({"protocol":1,"operation":"op","path":"p")"),
  };
  // Null is a wrong type for every member, required or not, in both forms.
  for (int i = 0; i < 10; ++i) {
    v.push_back(refuse("NullFor_"s + kNames[i], object_with(i, "null")));
    v.push_back(refuse("NullInArrayFor_"s + kNames[i], array_with(10, i, "null")));
  }
  return v;
}

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, AcceptsOrRefusesAsTheTableSays) {
  const DecodeCase& c = GetParam();
  auto got = decode_request(c.input);
  if (c.want) {
    ASSERT_TRUE(got) << got.error().full();
    EXPECT_EQ(as_tuple(*got), as_tuple(*c.want));
  } else {
    ASSERT_FALSE(got) << "decoded a refused input";
    EXPECT_FALSE(got.error().outermost().empty());
    EXPECT_NE(got.error().full().find(c.message_has), std::string::npos) << got.error().full();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Decode, ::testing::ValuesIn(decode_cases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Encoding

struct Capture {
  std::string out;
  std::vector<std::size_t> writes;
};

std::string encode(const FileAgentResponse& r, Capture* capture = nullptr) {
  Capture local;
  Capture& c = capture ? *capture : local;
  OutputBuffer out(
      [](void* ctx, const char* data, std::size_t size) -> Result<void> {
        auto* cap = static_cast<Capture*>(ctx);
        cap->out.append(data, size);
        cap->writes.push_back(size);
        return {};
      },
      &c);
  auto r1 = encode_response(r, out);
  EXPECT_TRUE(r1);
  EXPECT_TRUE(out.drain());
  return c.out;
}

const std::string kErrorPrefix =
    R"({"protocol":1,"ok":false,"operation":"x","replacements":0,"bytes":0,"binary":false,)"
    R"("totalBytes":null,"data":null,"error":")";

struct EscapeCase {
  std::string name;
  std::string raw;
  std::string escaped;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class Escape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, WritesTheLeastEscapingJsonAllows) {
  EXPECT_EQ(encode(error_response("x", GetParam().raw)), kErrorPrefix + GetParam().escaped + "\"}");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Escape,
    ::testing::Values(EscapeCase{"QuotationMark", "a\"b", R"(a\"b)"}, EscapeCase{"ReverseSolidus", "a\\b", R"(a\\b)"},
                      EscapeCase{"NamedControls", "\b\t\n\f\r", R"(\b\t\n\f\r)"},
                      EscapeCase{"OtherControlsLowerCaseHex", "\x00\x01\x0b\x0e\x1b\x1f"s,
                                 R"(\u0000\u0001\u000b\u000e\u001b\u001f)"},
                      EscapeCase{"SolidusDeleteAndNonAsciiRaw", "/ ~\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                 "/ ~\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
                      EscapeCase{"Empty", "", ""}),
    [](const auto& info) { return info.param.name; });

TEST(Encode, EscapesAcrossBufferBoundaries) {
  for (std::size_t shift = 0; shift < 8; ++shift) {
    std::string message(shift, 'a');
    for (int i = 0; i < 4000; ++i) message += "\x1b\"\x01\\\t\n\xc3\xa9"[i % 7];
    Capture capture;
    EXPECT_EQ(encode(error_response("x", message), &capture), kErrorPrefix + testing::json_escaped(message) + "\"}")
        << "shift " << shift;
    for (std::size_t w : capture.writes) EXPECT_LE(w, RESPONSE_BUFFER_BYTES);
  }
}

std::string base64(std::string_view s) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < s.size(); i += 3) {
    std::uint32_t v = 0;
    std::size_t n = std::min<std::size_t>(3, s.size() - i);
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(s[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? abc[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

FileAgentResponse preview(std::string_view bytes, std::uint64_t total, std::string operation = "readPreview") {
  FileAgentResponse r;
  r.ok = true;
  r.operation = std::move(operation);
  r.bytes = bytes.size();
  r.total_bytes = total;
  ByteBuffer b;
  EXPECT_TRUE(b.allocate(bytes.size()));
  if (!bytes.empty()) std::memcpy(b.data(), bytes.data(), bytes.size());
  b.set_size(bytes.size());
  r.data = std::move(b);
  return r;
}

std::string preview_line(std::string_view bytes, std::uint64_t total, std::string_view operation = "readPreview") {
  return R"({"protocol":1,"ok":true,"operation":")" + std::string(operation) + R"(","replacements":0,"bytes":)" +
         std::to_string(bytes.size()) + R"(,"binary":false,"totalBytes":)" + std::to_string(total) + R"(,"data":")" +
         base64(bytes) + R"(","error":null})";
}

TEST(Encode, DataIsPaddedBase64) {
  EXPECT_EQ(encode(preview("", 0)), preview_line("", 0));
  EXPECT_NE(preview_line("", 0).find(R"("data":"")"), std::string::npos);  // empty, not null
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
  for (std::string_view s : {"f", "fo", "foo", "foob", "fooba", "foobar"}) EXPECT_EQ(encode(preview(s, 9)), preview_line(s, 9));
}

TEST(Encode, DataAcrossBufferBoundaries) {
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += static_cast<char>(i * 7 + 3);
  // The operation's length moves where the Base64 groups meet the end of
  // the buffer: every remainder of room, 0 to 3, is reached.
  for (std::string op : {"r", "rr", "rrr", "rrrr"}) {
    // The sizes around 6057 end the data at or near the end of the first
    // buffer.
    std::vector<std::size_t> sizes = {20000};
    for (std::size_t size = 6040; size < 6075; ++size) sizes.push_back(size);
    for (std::size_t size : sizes) {
      std::string_view part(bytes.data(), size);
      Capture capture;
      EXPECT_EQ(encode(preview(part, 99999, op), &capture), preview_line(part, 99999, op)) << op << " " << size;
      for (std::size_t w : capture.writes) EXPECT_LE(w, RESPONSE_BUFFER_BYTES);
    }
  }
}

struct OrderCase {
  std::string name;
  FileAgentResponse (*make)();
  std::string line;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class MemberOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(MemberOrder, WritesTheMembersInWireOrder) { EXPECT_EQ(encode(GetParam().make()), GetParam().line); }

INSTANTIATE_TEST_SUITE_P(
    Table, MemberOrder,
    ::testing::Values(
        OrderCase{"ErrorResponse", [] { return error_response("edit", "oldString must not be empty"); },
                  R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
                  R"("totalBytes":null,"data":null,"error":"oldString must not be empty"})"},
        OrderCase{"EditWithDiff",
                  [] {
                    FileAgentResponse r;
                    r.ok = true;
                    r.operation = "edit";
                    r.replacements = 2;
                    r.bytes = 120;
                    r.diff = EditDiff{{{3, "old", "new"}, {18446744073709551615u, "a\nb", ""}}, false};
                    return r;
                  },
                  R"({"protocol":1,"ok":true,"operation":"edit","replacements":2,"bytes":120,"binary":false,)"
                  R"("totalBytes":null,"data":null,"diff":{"changes":[{"line":3,"removed":"old","added":"new"},)"
                  R"({"line":18446744073709551615,"removed":"a\nb","added":""}],"truncated":false},"error":null})"},
        OrderCase{"EditWithEmptyTruncatedDiff",
                  [] {
                    FileAgentResponse r;
                    r.ok = true;
                    r.operation = "edit";
                    r.diff = EditDiff{{}, true};
                    return r;
                  },
                  R"({"protocol":1,"ok":true,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
                  R"("totalBytes":null,"data":null,"diff":{"changes":[],"truncated":true},"error":null})"},
        OrderCase{"BinaryPreview",
                  [] {
                    FileAgentResponse r;
                    r.ok = true;
                    r.operation = "readPreview";
                    r.binary = true;
                    r.total_bytes = 0;
                    return r;
                  },
                  R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":0,"binary":true,)"
                  R"("totalBytes":0,"data":null,"error":null})"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok
