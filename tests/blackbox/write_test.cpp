// "write" through the built agent: the exact response line, the file left
// behind (content, mode, links) and nothing else left in the directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_process.h"

namespace brevok::testing {
namespace {

namespace fs = std::filesystem;

std::string ok_line(std::size_t bytes) {
  return R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":)" + std::to_string(bytes) +
         R"(,"binary":false,"totalBytes":null,"data":null,"error":null})" + "\n";
}

std::string error_head() {
  return R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
         R"("totalBytes":null,"data":null,"error":)";
}

std::string error_line(const std::string& message) { return error_head() + json_string(message) + "}\n"; }

// The error line for a temporary that could not be created beside
// `target`; the temporary's name ends in the process id and the clock
// reading, which only their shape can be checked of.
void expect_temporary_error(const std::string& out, const std::string& parent, const std::string& name) {
  std::string sep = agent_is_windows() ? "\\" : "/";
  std::string head = json_string("creating remote temporary " + agent_path(parent) + sep + "." + name +
                                 ".brevok-file-agent-");
  head.pop_back();  // the closing quotation mark
  head = error_head() + head;
  ASSERT_TRUE(out.starts_with(head)) << out;
  std::string rest = out.substr(head.size());
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t start = i;
    while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i;
    return i > start;
  };
  EXPECT_TRUE(digits() && i < rest.size() && rest[i++] == '-' && digits() && rest.substr(i) == "\"}\n") << out;
}

AgentResult write(const std::string& path, const std::string& members, const RunOptions& base = {}) {
  RunOptions o = base;
  o.input = R"({"protocol":1,"operation":"write","path":)" + json_string(path) + members + "}";
  return run_agent_process(o);
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode;
}

mode_t default_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// --- content ---------------------------------------------------------------

struct ContentCase {
  std::string name;
  std::string members;  // after "path"
  std::string content;  // the bytes expected in the file
};

void PrintTo(const ContentCase& c, std::ostream* os) { *os << c.name; }

class WriteContent : public ::testing::TestWithParam<ContentCase> {};

// A new file and a replaced one get the same bytes and the same answer;
// `bytes` counts bytes, not characters.
TEST_P(WriteContent, WritesTheBytesExactly) {
  const ContentCase& c = GetParam();
  ScratchDir dir;
  write_file(dir / "old.txt", "previous content that is longer\n");
  for (std::string name : {"new.txt", "old.txt"}) {
    AgentResult r = write(agent_path(dir / name), c.members);
    EXPECT_EQ(r.out, ok_line(c.content.size())) << name;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_file(dir / name), c.content) << name;
  }
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"new.txt", "old.txt"}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteContent,
    ::testing::Values(ContentCase{"Ascii", R"(,"content":"hello\n")", "hello\n"},
                      ContentCase{"AbsentContentEmptiesTheFile", "", ""},
                      ContentCase{"EmptyContent", R"(,"content":"")", ""},
                      // Five characters, six bytes.
                      ContentCase{"AccentCountsTwoBytes", R"(,"content":"h\u00e9llo")", "h\xc3\xa9llo"},
                      ContentCase{"RawUtf8FourBytes", ",\"content\":\"\xf0\x9f\x98\x80!\"", "\xf0\x9f\x98\x80!"},
                      ContentCase{"SurrogatePairEscape", R"(,"content":"\ud83d\ude00")", "\xf0\x9f\x98\x80"},
                      ContentCase{"CrLfAndNoFinalNewline", R"(,"content":"a\r\nb\r\nc")", "a\r\nb\r\nc"},
                      ContentCase{"NulByte", R"(,"content":"a\u0000b")", std::string("a\0b", 3)},
                      ContentCase{"OtherMembersIgnored",
                                  R"(,"content":"x","oldString":"x","newString":"y","replaceAll":true,"offset":0,"limit":0)",
                                  "x"}),
    [](const auto& info) { return info.param.name; });

// --- modes -------------------------------------------------------------------

TEST(WriteMode, NewFileGetsTheDefaultMode) {
  if (agent_is_windows()) GTEST_SKIP() << "permission bits are a POSIX matter";
  ScratchDir dir;
  ASSERT_EQ(write(dir / "f", R"(,"content":"x")").out, ok_line(1));
  EXPECT_EQ(mode_of(dir / "f") & 07777, default_file_mode());
}

class WriteKeepsMode : public ::testing::TestWithParam<mode_t> {};

TEST_P(WriteKeepsMode, ReplacedFileKeepsItsMode) {
  // Windows carries the attribute word over, not permission bits: of these
  // modes only "read-only" (no write bit, as Wine shows the attribute) means
  // something there.
  if (agent_is_windows() && GetParam() != 0444) GTEST_SKIP() << "permission bits are a POSIX matter";
  ScratchDir dir;
  write_file(dir / "f", "old");
  ASSERT_EQ(::chmod((dir / "f").c_str(), GetParam()), 0);
  EXPECT_EQ(write(dir / "f", R"(,"content":"new content")").out, ok_line(11));
  EXPECT_EQ(read_file(dir / "f"), "new content");
  EXPECT_TRUE(S_ISREG(mode_of(dir / "f")));
  EXPECT_EQ(mode_of(dir / "f") & 07777, GetParam());
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f"});
}

// Read-only files are replaced all the same and stay read-only.
INSTANTIATE_TEST_SUITE_P(Modes, WriteKeepsMode, ::testing::Values(0600, 0640, 0755, 0444, 0400, 0604));

// --- directories ---------------------------------------------------------------

TEST(WriteDirectories, CreateDirsMakesEveryMissingParent) {
  ScratchDir dir;
  AgentResult r = write(agent_path(dir / "a/b/c/f.txt"), R"(,"content":"deep","createDirs":true)");
  EXPECT_EQ(r.out, ok_line(4));
  EXPECT_EQ(read_file(dir / "a/b/c/f.txt"), "deep");
  EXPECT_EQ(list_dir(dir / "a/b/c"), std::vector<std::string>{"f.txt"});
}

class WriteMissingDirectory : public ::testing::TestWithParam<std::string> {};

// Without createDirs (absent or false) the temporary cannot be created in
// the missing directory; nothing is created anywhere.
TEST_P(WriteMissingDirectory, FailsCreatingTheTemporary) {
  ScratchDir dir;
  AgentResult r = write(agent_path(dir / "a/b/f.txt"), R"(,"content":"x")" + GetParam());
  expect_temporary_error(r.out, dir / "a/b", "f.txt");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Flags, WriteMissingDirectory, ::testing::Values("", R"(,"createDirs":false)"));

class WriteDirectoryTarget : public ::testing::TestWithParam<std::string> {};

TEST_P(WriteDirectoryTarget, IsRefusedAndChangesNothing) {
  ScratchDir dir;
  fs::create_directory(dir / "d");
  write_file(dir / "d/inside", "keep");
  AgentResult r = write(agent_path(dir / "d"), R"(,"content":"x")" + GetParam());
  EXPECT_EQ(r.out, error_line("path is a directory: " + agent_path(dir / "d")));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"d"});
  EXPECT_EQ(list_dir(dir / "d"), std::vector<std::string>{"inside"});
  EXPECT_EQ(read_file(dir / "d/inside"), "keep");
}

INSTANTIATE_TEST_SUITE_P(Flags, WriteDirectoryTarget,
                         ::testing::Values("", R"(,"createDirs":false)", R"(,"createDirs":true)"));

// --- symbolic links ----------------------------------------------------------

class WriteLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (agent_is_windows()) GTEST_SKIP() << "symbolic links are made with POSIX calls here";
  }
  ScratchDir dir;
};

// The link is replaced by a regular file with the target's mode; the file
// it pointed to keeps its content.
TEST_F(WriteLinks, LinkToFileIsReplacedByAFile) {
  write_file(dir / "real", "original");
  ASSERT_EQ(::chmod((dir / "real").c_str(), 0604), 0);
  fs::create_symlink("real", dir / "link");
  EXPECT_EQ(write(dir / "link", R"(,"content":"via link")").out, ok_line(8));
  EXPECT_FALSE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(read_file(dir / "link"), "via link");
  EXPECT_EQ(mode_of(dir / "link") & 07777, 0604u);
  EXPECT_EQ(read_file(dir / "real"), "original");
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"link", "real"}));
}

TEST_F(WriteLinks, DanglingLinkIsANewTarget) {
  fs::create_symlink("nowhere", dir / "link");
  EXPECT_EQ(write(dir / "link", R"(,"content":"abc")").out, ok_line(3));
  EXPECT_FALSE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(read_file(dir / "link"), "abc");
  EXPECT_EQ(mode_of(dir / "link") & 07777, default_file_mode());
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"link"});
}

TEST_F(WriteLinks, LinkToDirectoryIsADirectory) {
  fs::create_directory(dir / "d");
  fs::create_symlink("d", dir / "link");
  EXPECT_EQ(write(dir / "link", R"(,"content":"x","createDirs":true)").out,
            error_line("path is a directory: " + (dir / "link")));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_TRUE(list_dir(dir / "d").empty());
}

// --- paths -------------------------------------------------------------------

TEST(WritePaths, EmptyPathHasNoFileName) {
  ScratchDir dir;
  RunOptions o;
  o.cwd = dir.path();
  EXPECT_EQ(write("", R"(,"content":"x")", o).out, error_line("remote path must have a valid UTF-8 file name"));
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

class WriteHome : public ::testing::Test {
 protected:
  AgentResult run(const std::string& path, const std::string& members, std::optional<std::string> home) {
    RunOptions o;
    o.cwd = dir.path();
    if (home) {
      o.home = *home;
    } else {
      o.unset_home = true;
    }
    return write(path, members, o);
  }
  std::string sep() const { return agent_is_windows() ? "\\" : "/"; }
  ScratchDir dir;
};

TEST_F(WriteHome, TildeSlashWritesUnderHome) {
  std::string home = agent_path(dir / "home");
  fs::create_directory(dir / "home");
  EXPECT_EQ(run("~/sub/f.txt", R"(,"content":"hi","createDirs":true)", home).out, ok_line(2));
  EXPECT_EQ(read_file(dir / "home/sub/f.txt"), "hi");
  // A home ending in a separator gets no second one.
  EXPECT_EQ(run("~/g.txt", R"(,"content":"g")", home + sep()).out, ok_line(1));
  EXPECT_EQ(read_file(dir / "home/g.txt"), "g");
}

TEST_F(WriteHome, MessagesNameTheResolvedPath) {
  std::string home = agent_path(dir / "home");
  fs::create_directory(dir / "home");
  AgentResult r = run("~/missing/f.txt", R"(,"content":"x")", home);
  expect_temporary_error(r.out, dir / "home/missing", "f.txt");
  EXPECT_EQ(run("~", R"(,"content":"x")", home).out, error_line("path is a directory: " + home));
  EXPECT_EQ(run("~/", R"(,"content":"x")", home).out, error_line("path is a directory: " + home + sep()));
  EXPECT_TRUE(list_dir(dir / "home").empty());
}

TEST_F(WriteHome, UnsetHomeFailsBeforeTouchingFiles) {
  EXPECT_EQ(run("~/f.txt", R"(,"content":"x","createDirs":true)", std::nullopt).out,
            error_line("remote HOME is not set"));
  EXPECT_EQ(run("~", R"(,"content":"x")", std::nullopt).out, error_line("remote HOME is not set"));
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

}  // namespace
}  // namespace brevok::testing
