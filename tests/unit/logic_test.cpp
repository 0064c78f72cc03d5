// The portable rules, each a table of inputs and the results written out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base64.h"
#include "remote_fs.h"
#include "request_decoder.h"
#include "response_encoder.h"
#include "text_scan.h"
#include "utf8.h"

namespace brevok {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
constexpr auto kPosix = PathStyle::kPosix, kWin = PathStyle::kWindows;
const std::string kFffd = "\xEF\xBF\xBD", kEllipsis = "\xE2\x80\xA6";
std::string fffd(int n) { return n == 0 ? "" : kFffd + fffd(n - 1); }

std::string encoded(std::string_view s, bool portable) {
  std::string out(base64_encoded_size(s.size()), '?');
  return (portable ? base64_encode_portable : base64_encode)(s.data(), s.size(), out.data()), out;
}

TEST(Logic, Base64) {
  const Pairs rfc4648 = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                         {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : rfc4648) EXPECT_EQ(encoded(in, true) + " " + encoded(in, false), out + " " + out);
  std::string random(100003, '\0');
  std::generate(random.begin(), random.end(), std::mt19937(7));
  EXPECT_EQ(encoded(random, false), encoded(random, true));
}

// Valid text comes back as it is; what is not has one U+FFFD for each maximal invalid sequence.
TEST(Logic, Utf8) {
  const Pairs rows = {
      {"a\x7F", "a\x7F"},        {"\x80", fffd(1)},          {"\xC2\x80", "\xC2\x80"},
      {"\xC1\xBF", fffd(2)},     {"\xE0\xA0\x80", "\xE0\xA0\x80"}, {"\xE0\x9F\xBF", fffd(3)},
      {"\xED\x9F\xBF", "\xED\x9F\xBF"}, {"\xED\xA0\x80", fffd(3)}, {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
      {"\xF0\x8F\xBF\xBF", fffd(4)}, {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}, {"\xF4\x90\x80\x80", fffd(4)},
      {"\xE2\x82x", fffd(1) + "x"}, {"x\xF0\x9F\x98", "x" + kFffd}, {"\xF5\x80", fffd(2)},
  };
  for (const auto& [in, lossy] : rows) {
    EXPECT_EQ(is_valid_utf8(in), in == lossy) << ::testing::PrintToString(in);
    EXPECT_EQ(utf8_lossy(in), lossy);
  }
}

TEST(Logic, Paths) {
  const struct { PathStyle style; std::string base, rest, joined; } joins[] = {
      {kPosix, "a", "b", "a/b"}, {kPosix, "a/", "b", "a/b"}, {kPosix, "", "b", "b"}, {kPosix, "a", "/b", "/b"},
      {kWin, "C:\\a", "b", "C:\\a\\b"}, {kWin, "C:", "b", "C:b"}, {kWin, "C:\\a", "D:b", "D:b"},
      {kWin, "C:\\a", "C:b", "C:\\a\\b"}, {kWin, "C:\\a", "\\b", "C:\\b"}, {kWin, "a", "\\\\s\\h\\f", "\\\\s\\h\\f"},
  };
  for (const auto& j : joins) EXPECT_EQ(join_path(j.base, j.rest, j.style), j.joined) << j.base << " + " << j.rest;
  // A path, its file name ("-": none) and its parent.
  const struct { PathStyle style; std::string path, name, parent; } splits[] = {
      {kPosix, "a/b", "b", "a"}, {kPosix, "a//b//", "b", "a"}, {kPosix, "/b", "b", "/"}, {kPosix, "b", "b", ""},
      {kPosix, "", "-", ""}, {kPosix, "a/..", "-", "a"}, {kPosix, "a\\b", "a\\b", ""}, {kWin, "a/b", "b", "a"},
      {kWin, "C:\\a\\b", "b", "C:\\a"}, {kWin, "C:\\b", "b", "C:\\"}, {kWin, "C:b", "b", "C:"},
  };
  for (const auto& s : splits) {
    EXPECT_EQ(path_file_name(s.path, s.style).value_or("-"), s.name) << s.path;
    EXPECT_EQ(path_parent(s.path, s.style), s.parent) << s.path;
  }
  EXPECT_FALSE(path_file_name("/", kPosix) || path_file_name("C:\\", kWin));
  EXPECT_EQ(display_path("a\xFF/\xED\xA0\x80", kPosix), "a" + kFffd + "/" + kFffd + kFffd + kFffd);
  EXPECT_EQ(display_path("a\xFF/\xED\xA0\x80", kWin), "a" + kFffd + "/" + kFffd);
  // The temporary's name fills the file system's limit of 255 bytes and no more.
  const std::string a231(231, 'a'), a232 = a231 + "a", tail = ".brevok-file-agent-7-9";
  const Pairs rows = {{a232, "." + a232 + tail}, {a232 + "b", "." + a232 + tail},
                      {a231 + "\xC3\xA9", "." + a231 + tail}, {"f", ".f" + tail}};
  for (const auto& [name, want] : rows) EXPECT_EQ(temporary_name(name, 7, 9), want) << name.size();
}

TEST(Logic, Operations) {
  const std::uint64_t max = 18446744073709551615u;
  const std::uint64_t rows[][3] = {{1, 2000, 2000}, {0, 5, 5}, {3, 5, 7}, {1, max, max}, {2, max, max}, {max, 1, max}};
  for (const auto& r : rows) EXPECT_EQ(preview_end_line(r[0], r[1]), r[2]) << r[0] << " " << r[1];
  const std::uint64_t sizes[][5] = {{12, 2, 3, 4, 14}, {12, 2, 3, 0, 6}, {max, 2, 1, 2, max}, {5, 9, 1, 0, 0}};
  for (const auto& r : sizes) EXPECT_EQ(edited_size(r[0], r[1], r[2], r[3]), r[4]) << r[0] << " " << r[1];
  const std::string a(1000, 'a');
  const struct { std::string hay, needle; std::vector<std::size_t> at; } searches[] = {
      {"aaaa", "aa", {0, 2}}, {"aaaaa", "aa", {0, 2}}, {"abababab", "abab", {0, 4}}, {"xabcabd", "abd", {4}},
      {"abc", "abcd", {}}, {"", "a", {}}, {"banana", "a", {1, 3, 5}}, {a + "b", a.substr(900) + "b", {900}},
      {a + "b" + a + "b", a.substr(500) + "b", {500, 1501}}, {std::string(40, 'x') + "yx", "xy", {39}},
      // The fast search gives up just before the match, and the automaton needs its table's second border.
      {"aaaaaabaaa", "abaaa", {5}}, {"baaabaabaaabaaaaaaabaaa", "aabaaaaa", {9}},
  };
  for (const auto& r : searches) {
    std::vector<std::size_t> found;
    for_each_occurrence(r.hay, r.needle, [&](std::size_t at) { found.push_back(at); });
    EXPECT_EQ(found, r.at) << r.hay.size() << " " << r.needle.size();
  }
  // Long runs of near-matches make the search stop comparing and go on with its automaton from where it stopped:
  // it must still find what a plain scan finds.
  std::mt19937 rng(11);
  for (std::size_t m : {2, 3, 4, 17, 300, 4097}) {
    std::string periodic;
    while (periodic.size() < m) periodic += "aab";
    const std::string a(m - 1, 'a'), middle = a.substr(0, m / 2) + "b" + a.substr(m / 2);
    for (const std::string& needle : {a + "b", middle.substr(0, m), periodic.substr(0, m), "b" + a}) {
      for (int round = 0; round < 3; ++round) {
        std::string hay, near;
        while (hay.size() < 3 * m + 300) {
          const int pick = static_cast<int>(rng() % 4);
          if (pick < 2) near = needle, near[rng() % m] ^= 3 * pick;  // whole, or one byte swapped ('a' ^ 3 is 'b')
          hay += pick < 2 ? near : pick == 2 ? std::string(rng() % (2 * m), 'a') : "b";
        }
        std::vector<std::size_t> found, plain;
        for_each_occurrence(hay, needle, [&](std::size_t at) { found.push_back(at); });
        for (std::size_t at = 0; (at = hay.find(needle, at)) != std::string::npos; at += m) plain.push_back(at);
        ASSERT_EQ(found, plain) << needle.substr(0, 40) << " in " << hay.size();
      }
    }
  }
  // Texts of 2048 bytes and 2049, the cut moved back to the start of a character.
  const std::string x(2045, 'x'), x1 = x.substr(1), x2 = x.substr(2), e = "\xC3\xA9";
  const Pairs clips = {{x + "xxx", x + "xxx"}, {x + "xxxx", x + kEllipsis}, {x1 + e + "yyy", x1 + kEllipsis},
                       {x2 + e + "yyyy", x2 + e + kEllipsis}, {std::string(682, '\xFF'), fffd(682)},
                       {std::string(683, '\xFF'), fffd(681) + kEllipsis}};
  for (const auto& [in, out] : clips) EXPECT_EQ(clip_diff_text(in), std::pair(out, out.ends_with(kEllipsis))) << in.size();
  const std::vector<std::uint64_t> first16 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const struct { std::string content, old; std::vector<std::uint64_t> lines; bool truncated; } diffs[] = {
      {"a\nb\nc", "\n", {1, 2}, false}, {"\n\nx\n\nx", "x", {3, 5}, false},
      {std::string(16, '\n'), "\n", first16, false}, {std::string(17, '\n'), "\n", first16, true},
      {std::string(2049, 'o'), std::string(2049, 'o'), {1}, true}};
  for (const auto& r : diffs) {
    std::vector<std::uint64_t> first, lines;
    std::uint64_t count = 0;
    for_each_occurrence(r.content, r.old, [&](std::size_t at) { if (count++ < 16) first.push_back(at); });
    EditDiff d = build_edit_diff(r.content, first, count, r.old, "N");
    for (const auto& c : d.changes) lines.push_back(c.line);
    EXPECT_EQ(lines, r.lines) << r.content.size();
    EXPECT_EQ(d.truncated, r.truncated) << r.content.size();
  }
}

TEST(Logic, DecodeRequest) {
  auto shown = [](const Result<FileAgentRequest>& r) {
    return !r ? r.error().full()
              : std::to_string(r->protocol) + "|" + r->operation + "|" + r->path + "|" + r->old_string + "|" +
                    r->new_string + "|" + std::to_string(r->replace_all) + "|" + r->content + "|" +
                    std::to_string(r->create_dirs) + "|" + std::to_string(r->offset) + "|" + std::to_string(r->limit);
  };
  const std::string tail = R"("protocol":1,"operation":"op","path":"p"})", plain = "1|op|p|||0||0|1|2000";
  auto deep = [&](int n) { return R"({"x":)" + std::string(n, '[') + std::string(n, ']') + "," + tail; };
  const Pairs rows = {
      {"{" + tail, plain}, {"{" + tail + " x", "trailing characters at line 1 column 44"},
      {R"({"Path":[{"path":1}],)" + tail, plain}, {R"({"protocol":1,"path":"p"})", "missing field `operation`"},
      {R"({"limit":5,"offset":0,"createDirs":false,"content":"c","replaceAll":true,"newString":"n","oldString":"o",)" +
           tail, "1|op|p|o|n|1|c|0|0|5"},
      {R"([1,"op"])", "invalid length 2, expected struct FileAgentRequest with 10 elements"},
      {R"([1,"op","p"])", plain}, {R"([1,"e","/f","o","n",true,"c",true,0,5])", "1|e|/f|o|n|1|c|1|0|5"},
      {R"([1,"e","/f","o","n",true,"c",true,0,5,0])",
       "invalid length 11 or more, expected struct FileAgentRequest with 10 elements at line 1 column 40"},
      {R"({"path":"a",)" + tail, "duplicate field `path` at line 1 column 48"},
      {"{\n\"protocol\":1,\n  \"protocol\":1}", "duplicate field `protocol` at line 3 column 12"},
      {deep(126), plain}, {deep(127), "too deep at line 1 column 132"},
      {R"({"protocol":"1","operation":"op","path":"p"})",
       "invalid type: a string, expected an unsigned 32-bit integer for `protocol` at line 1 column 15"},
      {R"({"protocol":4294967296,"operation":"op","path":"p"})",
       "invalid value: integer `4294967296`, expected an unsigned 32-bit integer for `protocol` at line 1 column 23"},
      {R"({"protocol":4294967295,"operation":null,"path":"p"})",
       "invalid type: null, expected a string for `operation` at line 1 column 36"},
      {R"({"offset":-0,)" + tail, "invalid type: a negative integer, expected an unsigned 64-bit integer for `offset` "
                                  "at line 1 column 13"},
      // An exponent of nine digits the parser takes; one of ten it refuses, though in a skipped member.
      {R"({"x":1e999999999,"y":[2E-0000000009999999999],)" + tail, plain},
  };
  for (const auto& [in, want] : rows) EXPECT_EQ(shown(decode_request(in)), want) << in.substr(0, 60);
}

// A string member is reserved once, at the length it decodes to (also when it begins with an escape).
TEST(Decoder, ReservesAStringAtItsDecodedLength) {
  for (std::string raw : {R"(\n)" + std::string(40, 'a'), R"(a\"\\\/\b\f\r\t\u0041\u00e9\u20ac\ud83d\ude00)" + std::string(40, 'a')}) {
    auto r = decode_request(R"({"protocol":1,"operation":"write","path":"p","content":")" + raw + "\"}");
    EXPECT_EQ(r ? r->content.capacity() - r->content.size() : 1, 0u) << raw;
  }
}

// Base64 of 16 MiB or more goes out in writes of 1 MiB, of 4 bytes less in writes of 8192 bytes; the response is the
// same either way.
TEST(Response, WritesLargeDataInMebibytes) {
  for (std::size_t groups : {(4 << 20) - 1, 4 << 20}) {  // of "abc", Base64 "YWJj"
    FileAgentResponse r;
    r.ok = true, r.operation = "readPreview", r.data.emplace();
    ASSERT_TRUE(r.data->allocate(groups * 3));
    for (std::size_t i = 0; i < groups * 3; ++i) r.data->data()[i] = "abc"[i % 3];
    r.data->set_size(groups * 3);
    std::vector<std::string> writes;
    OutputBuffer out([](void* w, const char* d, std::size_t n) -> Result<void> {
      return static_cast<std::vector<std::string>*>(w)->emplace_back(d, n), Result<void>();
    }, &writes);
    ASSERT_TRUE(encode_response(r, out) && out.drain());
    std::string all, data;
    for (const std::string& w : writes) all += w;
    for (std::size_t i = 0; i < groups; ++i) data += "YWJj";
    EXPECT_EQ(all, R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
                   R"("totalBytes":null,"data":")" + data + R"(","error":null})");
    EXPECT_EQ(std::ranges::max(writes, {}, &std::string::size).size(), groups == 4 << 20 ? 1 << 20 : 8192) << groups;
  }
}

}  // namespace
}  // namespace brevok
