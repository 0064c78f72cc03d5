// "readPreview" through the built agent: the whole response line, byte for
// byte, for the cut, the text test and the failures. (A file that can be
// stated but not read is covered with the other permission cases.)
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "agent_process.h"

namespace brevok::testing {
namespace {

// Base64 as RFC 4648 defines it, for the expected lines.
std::string base64(std::string_view in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    std::uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += abc[n >> 18];
    out += abc[(n >> 12) & 63];
    out += i + 1 < in.size() ? abc[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? abc[n & 63] : '=';
  }
  return out;
}

std::string text_line(std::size_t size, std::string_view preview) {
  std::string n = std::to_string(size);
  return R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":)" + n +
         R"(,"binary":false,"totalBytes":)" + n + R"(,"data":")" + base64(preview) + R"(","error":null})" + "\n";
}

std::string binary_line(std::size_t size) {
  std::string n = std::to_string(size);
  return R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":)" + n +
         R"(,"binary":true,"totalBytes":)" + n + R"(,"data":null,"error":null})" + "\n";
}

std::string error_line(const std::string& message) {
  return R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
         R"("totalBytes":null,"data":null,"error":)" +
         json_string(message) + "}\n";
}

AgentResult preview(const std::string& path, const std::string& members = "") {
  RunOptions o;
  o.input = R"({"protocol":1,"operation":"readPreview","path":)" + json_string(agent_path(path)) + members + "}";
  return run_agent_process(o);
}

std::string numbered_lines(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

struct PreviewCase {
  std::string name;
  std::string content;
  std::string members;                  // after "path"
  std::optional<std::string> preview;   // nullopt: binary
};

void PrintTo(const PreviewCase& c, std::ostream* os) { *os << c.name; }

class Preview : public ::testing::TestWithParam<PreviewCase> {};

TEST_P(Preview, AnswersWithTheExactLine) {
  const PreviewCase& c = GetParam();
  ScratchDir dir;
  write_file(dir / "f", c.content);
  AgentResult r = preview(dir / "f", c.members);
  EXPECT_EQ(r.out, c.preview ? text_line(c.content.size(), *c.preview) : binary_line(c.content.size()));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(read_file(dir / "f"), c.content);
}

const std::string kFive = "a\nb\nc\nd\ne\n";
const std::string kMax = "18446744073709551615";

std::string with_byte(std::size_t size, std::size_t at, char byte) {
  std::string s;
  while (s.size() < size) s += "text, ";
  s.resize(size);
  s[at] = byte;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cut, Preview,
    ::testing::Values(
        PreviewCase{"Default2000Of2500Lines", numbered_lines(2500), "", numbered_lines(2000)},
        PreviewCase{"Offset0LikeOffset1", kFive, R"(,"offset":0,"limit":2)", "a\nb\n"},
        PreviewCase{"Offset1", kFive, R"(,"offset":1,"limit":2)", "a\nb\n"},
        PreviewCase{"Limit0IsEmptyText", kFive, R"(,"offset":1,"limit":0)", ""},
        PreviewCase{"Offset5Limit0", kFive, R"(,"offset":5,"limit":0)", "a\nb\nc\nd\n"},
        // The offset moves only the end: lines 1 to 4, not 3 and 4.
        PreviewCase{"Offset3Limit2", kFive, R"(,"offset":3,"limit":2)", "a\nb\nc\nd\n"},
        PreviewCase{"OffsetBeyondTheFile", kFive, R"(,"offset":100,"limit":1)", kFive},
        PreviewCase{"NoFinalLineFeed", "a\nb", R"(,"limit":5)", "a\nb"},
        PreviewCase{"LastLineWithoutLineFeedCut", "a\nb", R"(,"limit":1)", "a\n"},
        PreviewCase{"CrLfKept", "a\r\nb\r\n", R"(,"limit":1)", "a\r\n"},
        PreviewCase{"CrAloneEndsNothing", "a\rb\rc\nd", R"(,"limit":1)", "a\rb\rc\n"},
        PreviewCase{"Saturation", kFive, R"(,"offset":)" + kMax + R"(,"limit":)" + kMax, kFive},
        PreviewCase{"SaturationOfOffset", kFive, R"(,"offset":)" + kMax + R"(,"limit":1)", kFive},
        PreviewCase{"EmptyFile", "", "", ""},
        PreviewCase{"EmptyFileLimit0", "", R"(,"limit":0)", ""},
        PreviewCase{"NoLineFeedAtAllSentWhole", std::string(100000, 'z'), R"(,"limit":1)", std::string(100000, 'z')},
        PreviewCase{"NotUtf8Unchanged", "caf\xe9\n\xff\xfe\x80\x01\x1b[0m\n", "", "caf\xe9\n\xff\xfe\x80\x01\x1b[0m\n"},
        PreviewCase{"NulIsByte8192", with_byte(9000, 8191, '\0'), "", std::nullopt},
        PreviewCase{"NulIsByte8193", with_byte(9000, 8192, '\0'), "", with_byte(9000, 8192, '\0')},
        PreviewCase{"NulFirst", with_byte(10, 0, '\0'), "", std::nullopt},
        PreviewCase{"BinaryIgnoresWindow", with_byte(10, 5, '\0'), R"(,"offset":1,"limit":0)", std::nullopt},
        PreviewCase{"ShortFileEndingInNul", std::string("a\n\0", 3), R"(,"limit":1)", std::nullopt}),
    [](const auto& info) { return info.param.name; });

// The padding of the last group, spelled out in full.
struct PaddingCase {
  std::string content;
  std::string line;
};

class PreviewPadding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(PreviewPadding, PadsTheLastGroup) {
  ScratchDir dir;
  write_file(dir / "f", GetParam().content);
  AgentResult r = preview(dir / "f");
  EXPECT_EQ(r.out, GetParam().line + "\n");
  EXPECT_EQ(r.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PreviewPadding,
    ::testing::Values(
        PaddingCase{"a", R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":1,"binary":false,"totalBytes":1,"data":"YQ==","error":null})"},
        PaddingCase{"ab", R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":2,"binary":false,"totalBytes":2,"data":"YWI=","error":null})"},
        PaddingCase{"abc", R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":3,"binary":false,"totalBytes":3,"data":"YWJj","error":null})"},
        PaddingCase{"\xff\xfe\xfd\xfc", R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":4,"binary":false,"totalBytes":4,"data":"//79/A==","error":null})"}));

TEST(PreviewFailure, DirectoryIsRefused) {
  ScratchDir dir;
  AgentResult r = preview(dir.path());
  EXPECT_EQ(r.out, error_line("path is a directory: " + agent_path(dir.path())));
  EXPECT_EQ(r.exit_status, 0);
}

TEST(PreviewFailure, MissingFileFailsTheMetadataQuery) {
  ScratchDir dir;
  AgentResult r = preview(dir / "missing.txt");
  EXPECT_EQ(r.out, error_line("stating remote file " + agent_path(dir / "missing.txt")));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST(PreviewFailure, EmptyPathFailsWithAnEmptyPlaceholder) {
  AgentResult r = preview("");
  EXPECT_EQ(r.out, error_line("stating remote file "));
  EXPECT_EQ(r.exit_status, 0);
}

TEST(PreviewHome, TildeSlashReadsUnderHome) {
  ScratchDir dir;
  write_file(dir / "notes.txt", "x\ny\n");
  RunOptions o;
  o.home = agent_path(dir.path());
  o.input = R"({"protocol":1,"operation":"readPreview","path":"~/notes.txt","limit":1})";
  EXPECT_EQ(run_agent_process(o).out, text_line(4, "x\n"));
  o.home.reset();
  o.unset_home = true;
  EXPECT_EQ(run_agent_process(o).out, error_line("remote HOME is not set"));
}

}  // namespace
}  // namespace brevok::testing
