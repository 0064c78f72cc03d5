// The portable rules, each checked against values written out by hand.
#include <gtest/gtest.h>

#include <random>

#include "base64.h"
#include "operations.h"
#include "remote_fs.h"
#include "request_decoder.h"
#include "utf8.h"

namespace brevok {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
constexpr auto kPosix = PathStyle::kPosix, kWin = PathStyle::kWindows;
const std::string kFffd = "\xEF\xBF\xBD";
std::string fffd(int n) {
  std::string s;
  while (n-- > 0) s += kFffd;
  return s;
}

std::string encoded(std::string_view s, bool portable) {
  std::string out(base64_encoded_size(s.size()), '?');
  (portable ? base64_encode_portable : base64_encode)(s.data(), s.size(), out.data());
  return out;
}

TEST(Logic, Base64) {
  const Pairs rfc4648 = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                                 {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : rfc4648) {
    EXPECT_EQ(encoded(in, true), out);
    EXPECT_EQ(encoded(in, false), out);
  }
  std::mt19937 rng(7);
  std::string random(100003, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  EXPECT_EQ(encoded(random, false), encoded(random, true));
}

TEST(Logic, Utf8) {
  const std::string bad3 = kFffd + kFffd + kFffd;
  const struct { std::string in; bool valid; std::string lossy; } rows[] = {
      {"a\x7F", true, "a\x7F"},          {"\x80", false, kFffd},
      {"\xC2\x80", true, "\xC2\x80"},     {"\xC1\xBF", false, kFffd + kFffd},
      {"\xE0\xA0\x80", true, "\xE0\xA0\x80"}, {"\xE0\x9F\xBF", false, bad3},
      {"\xED\x9F\xBF", true, "\xED\x9F\xBF"}, {"\xED\xA0\x80", false, bad3},
      {"\xF0\x90\x80\x80", true, "\xF0\x90\x80\x80"}, {"\xF0\x8F\xBF\xBF", false, bad3 + kFffd},
      {"\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"}, {"\xF4\x90\x80\x80", false, bad3 + kFffd},
      {"\xE2\x82x", false, kFffd + "x"},  {"x\xF0\x9F\x98", false, "x" + kFffd},
      {"\xF5\x80", false, kFffd + kFffd},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(is_valid_utf8(r.in), r.valid) << ::testing::PrintToString(r.in);
    EXPECT_EQ(utf8_lossy(r.in), r.lossy) << ::testing::PrintToString(r.in);
  }
}

TEST(Logic, Paths) {
  const struct { PathStyle style; std::string base, rest, joined; } joins[] = {
      {kPosix, "a", "b", "a/b"},  {kPosix, "a/", "b", "a/b"},  {kPosix, "", "b", "b"},  {kPosix, "a", "/b", "/b"},
      {kWin, "C:\\a", "b", "C:\\a\\b"}, {kWin, "C:", "b", "C:b"}, {kWin, "C:\\a", "D:b", "D:b"},
      {kWin, "C:\\a", "C:b", "C:\\a\\b"}, {kWin, "C:\\a", "\\b", "C:\\b"}, {kWin, "a", "\\\\s\\h\\f", "\\\\s\\h\\f"},
  };
  for (const auto& j : joins) EXPECT_EQ(join_path(j.base, j.rest, j.style), j.joined) << j.base << " + " << j.rest;
  // path, its file name ("-": none), its parent
  const struct { PathStyle style; std::string path, name, parent; } splits[] = {
      {kPosix, "a/b", "b", "a"},   {kPosix, "a//b//", "b", "a"}, {kPosix, "/b", "b", "/"}, {kPosix, "b", "b", ""},
      {kPosix, "", "-", ""},        {kPosix, "a/..", "-", "a"}, {kPosix, "a\\b", "a\\b", ""},
      {kWin, "C:\\a\\b", "b", "C:\\a"}, {kWin, "C:\\b", "b", "C:\\"}, {kWin, "C:b", "b", "C:"},
      {kWin, "a/b", "b", "a"},
  };
  for (const auto& s : splits) {
    EXPECT_EQ(path_file_name(s.path, s.style).value_or("-"), s.name) << s.path;
    EXPECT_EQ(path_parent(s.path, s.style), s.parent) << s.path;
  }
  EXPECT_EQ(display_path("a\xFF/\xED\xA0\x80", kPosix), "a" + kFffd + "/" + kFffd + kFffd + kFffd);
  EXPECT_FALSE(path_file_name("/", kPosix) || path_file_name("C:\\", kWin));
  EXPECT_EQ(display_path("a\xFF/\xED\xA0\x80", kWin), "a" + kFffd + "/" + kFffd);
}

TEST(Logic, TemporaryNameFillsTheLimitAndNoMore) {
  const std::string a231(231, 'a'), a232 = a231 + "a";
  const Pairs rows = {{a232, "." + a232 + ".brevok-file-agent-7-9"}, {a232 + "b", "." + a232 + ".brevok-file-agent-7-9"},
                      {a231 + "\xC3\xA9", "." + a231 + ".brevok-file-agent-7-9"}, {"f", ".f.brevok-file-agent-7-9"}};
  for (const auto& [name, want] : rows) EXPECT_EQ(temporary_name(name, 7, 9), want) << name.size();
}

TEST(Logic, PreviewEndLineSaturates) {
  const std::uint64_t rows[][3] = {{1, 2000, 2000}, {0, 5, 5}, {3, 5, 7}, {1, 18446744073709551615u, 18446744073709551615u},
                                   {2, 18446744073709551615u, 18446744073709551615u}, {18446744073709551615u, 1, 18446744073709551615u}};
  for (const auto& r : rows) EXPECT_EQ(preview_end_line(r[0], r[1]), r[2]) << r[0] << " " << r[1];
}

TEST(Logic, Occurrences) {
  const std::string a(1000, 'a');
  const struct { std::string hay, needle; std::vector<std::size_t> at; } rows[] = {
      {"aaaa", "aa", {0, 2}}, {"aaaaa", "aa", {0, 2}}, {"abababab", "abab", {0, 4}}, {"xabcabd", "abd", {4}},
      {"abc", "abcd", {}}, {"", "a", {}}, {"banana", "a", {1, 3, 5}}, {a + "b", a.substr(900) + "b", {900}},
      {a + "b" + a + "b", a.substr(500) + "b", {500, 1501}}, {std::string(40, 'x') + "yx", "xy", {39}},
  };
  for (const auto& r : rows) {
    std::vector<std::size_t> found;
    for_each_occurrence(r.hay, r.needle, [&](std::size_t at) { found.push_back(at); });
    EXPECT_EQ(found, r.at) << r.hay.size() << " " << r.needle.size();
  }
}

TEST(Logic, ClipDiffText) {
  const std::string a(2045, 'a'), cut = "\xE2\x80\xA6";
  const struct { std::string in, out; } rows[] = {
      {a + "aaa", a + "aaa"}, {a + "aaaa", a + cut}, {a.substr(1) + "\xC3\xA9" + "bbb", a.substr(1) + cut},
      {a.substr(2) + "\xC3\xA9" + "bbbb", a.substr(2) + "\xC3\xA9" + cut},
      {std::string(682, '\xFF'), fffd(682)}, {std::string(683, '\xFF'), fffd(681) + cut},
  };
  for (const auto& r : rows) {
    auto [text, clipped] = clip_diff_text(r.in);
    EXPECT_TRUE(text == r.out) << r.in.size();
    EXPECT_EQ(clipped, r.out.ends_with(cut)) << r.in.size();
  }
}

TEST(Logic, EditDiff) {
  struct Row { std::string content, old; std::uint64_t count; std::vector<std::uint64_t> lines; bool truncated; };
  const Row rows[] = {{"a\nb\nc", "\n", 2, {1, 2}, false}, {"\n\nx\n\nx", "x", 2, {3, 5}, false},
                      {std::string(16, '\n'), "\n", 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, false},
                      {std::string(17, '\n'), "\n", 17, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, true}};
  for (const auto& r : rows) {
    std::vector<std::uint64_t> first;
    for_each_occurrence(r.content, r.old, [&](std::size_t at) { if (first.size() < 16) first.push_back(at); });
    EditDiff d = build_edit_diff(r.content, first, r.count, r.old, "N");
    std::vector<std::uint64_t> lines;
    for (const auto& c : d.changes) lines.push_back(c.line);
    EXPECT_EQ(lines, r.lines);
    EXPECT_EQ(d.truncated, r.truncated);
  }
  const std::string long_old(2049, 'o');
  EditDiff d = build_edit_diff(long_old, std::vector<std::uint64_t>{0}, 1, long_old, "N");
  EXPECT_TRUE(d.truncated);
  EXPECT_EQ(d.changes.at(0).removed, std::string(2045, 'o') + "\xE2\x80\xA6");
}

std::string shown(const Result<FileAgentRequest>& r) {
  if (!r) return r.error().full();
  return std::to_string(r->protocol) + "|" + r->operation + "|" + r->path + "|" + r->old_string + "|" + r->new_string +
         "|" + std::to_string(r->replace_all) + "|" + r->content + "|" + std::to_string(r->create_dirs) + "|" +
         std::to_string(r->offset) + "|" + std::to_string(r->limit);
}

TEST(Logic, DecodeRequest) {
  const std::string tail = R"("protocol":1,"operation":"op","path":"p"})";
  auto deep = [&](int n) { return R"({"x":)" + std::string(n, '[') + std::string(n, ']') + "," + tail; };
  const Pairs rows = {
      {R"({"protocol":1,"operation":"op","path":"p"})", "1|op|p|||0||0|1|2000"},
      {R"({"limit":5,"offset":0,"createDirs":true,"content":"c","replaceAll":true,"newString":"n","oldString":"o",)" + tail,
       "1|op|p|o|n|1|c|1|0|5"},
      {R"([1,"op","p"])", "1|op|p|||0||0|1|2000"},
      {R"([1,"e","/f","o","n",true,"c",true,0,5])", "1|e|/f|o|n|1|c|1|0|5"},
      {R"([1,"op"])", "invalid length 2, expected struct FileAgentRequest with 10 elements"},
      {R"([1,"e","/f","o","n",true,"c",true,0,5,0])",
       "invalid length 11 or more, expected struct FileAgentRequest with 10 elements at line 1 column 40"},
      {R"({"path":"a",)" + tail, "duplicate field `path` at line 1 column 48"},
      {"{\n\"protocol\":1,\n  \"protocol\":1}", "duplicate field `protocol` at line 3 column 12"},
      {R"({"x":[{"path":1}],"PATH":2,)" + tail, "1|op|p|||0||0|1|2000"},
      {deep(126), "1|op|p|||0||0|1|2000"},
      {deep(127), "too deep at line 1 column 132"},
      {R"({"protocol":1,"path":"p"})", "missing field `operation`"},
      {R"({"protocol":"1","operation":"op","path":"p"})",
       "invalid type: a string, expected an unsigned 32-bit integer for `protocol` at line 1 column 15"},
      {R"({"protocol":4294967296,"operation":"op","path":"p"})",
       "invalid value: integer `4294967296`, expected an unsigned 32-bit integer for `protocol` at line 1 column 23"},
      {R"({"protocol":4294967295,"operation":null,"path":"p"})",
       "invalid type: null, expected a string for `operation` at line 1 column 36"},
      {R"({"protocol":1,"operation":"op","path":"p"} x)", "trailing characters at line 1 column 44"},
  };
  for (const auto& [in, want] : rows) EXPECT_EQ(shown(decode_request(in)), want) << in.substr(0, 60);
}

}  // namespace
}  // namespace brevok
