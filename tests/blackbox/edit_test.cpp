// "edit" through the built agent: the exact response line (with its diff),
// the file's bytes afterwards, and nothing left beside it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"

namespace brevok::testing {
namespace {

namespace fs = std::filesystem;

std::string ok_line(std::size_t replacements, std::size_t bytes, const std::vector<int>& lines,
                    std::string_view removed, std::string_view added, bool truncated) {
  std::string changes;
  for (int line : lines) {
    if (!changes.empty()) changes += ',';
    changes += R"({"line":)" + std::to_string(line) + R"(,"removed":)" + json_string(removed) + R"(,"added":)" +
               json_string(added) + "}";
  }
  return R"({"protocol":1,"ok":true,"operation":"edit","replacements":)" + std::to_string(replacements) +
         R"(,"bytes":)" + std::to_string(bytes) +
         R"(,"binary":false,"totalBytes":null,"data":null,"diff":{"changes":[)" + changes +
         R"(],"truncated":)" + (truncated ? "true" : "false") + R"(},"error":null})" + "\n";
}

// "{path}" in `message` stands for the target as the agent names it.
std::string error_line(const std::string& message) {
  return R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
         R"("totalBytes":null,"data":null,"error":)" +
         json_string(message) + "}\n";
}

std::string not_unique(int n) {
  return error_line("oldString is not unique (found " + std::to_string(n) + " occurrences); set replaceAll=true");
}
const std::string kNotFound = error_line("oldString not found in remote file");
const std::string kEmptyOld = error_line("oldString must not be empty");

std::string members(std::optional<std::string> old_string, std::optional<std::string> new_string,
                    bool replace_all = false, std::string more = "") {
  std::string m;
  if (old_string) m += R"(,"oldString":)" + json_string(*old_string);
  if (new_string) m += R"(,"newString":)" + json_string(*new_string);
  if (replace_all) m += R"(,"replaceAll":true)";
  return m + more;
}

std::string rep(std::size_t n, std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::vector<int> one_to(int n) {
  std::vector<int> v;
  for (int i = 1; i <= n; ++i) v.push_back(i);
  return v;
}

AgentResult edit(const std::string& path, const std::string& m, RunOptions o = {}) {
  o.input = R"({"protocol":1,"operation":"edit","path":)" + json_string(path) + m + "}";
  return run_agent_process(o);
}

struct EditCase {
  std::string name;
  std::string content;
  std::string members;
  std::optional<std::string> after;  // nullopt: the file is not changed
  std::string line;
};

void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }

class Edit : public ::testing::TestWithParam<EditCase> {};

TEST_P(Edit, AnswersAndLeavesTheFileAsTheTableSays) {
  const EditCase& c = GetParam();
  ScratchDir dir;
  write_file(dir / "f", c.content);
  AgentResult r = edit(agent_path(dir / "f"), c.members);
  EXPECT_EQ(r.out, c.line);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(read_file(dir / "f"), c.after.value_or(c.content));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f"});
}

const std::string kEllipsis = "\xE2\x80\xA6";

INSTANTIATE_TEST_SUITE_P(
    Replacement, Edit,
    ::testing::Values(
        // Leftmost, non-overlapping: "aa" occurs once in "aaa", twice in "aaaa".
        EditCase{"ThreeAsOnce", "aaa", members("aa", "b"), "ba", ok_line(1, 2, {1}, "aa", "b", false)},
        EditCase{"ThreeAsOnceAll", "aaa", members("aa", "b", true), "ba", ok_line(1, 2, {1}, "aa", "b", false)},
        EditCase{"FourAsNotUnique", "aaaa", members("aa", "b"), std::nullopt, not_unique(2)},
        EditCase{"FourAsAll", "aaaa", members("aa", "b", true), "bb", ok_line(2, 2, {1, 1}, "aa", "b", false)},
        EditCase{"NotUniqueCountsAll", rep(40, "x\n"), members("x", "y"), std::nullopt, not_unique(40)},
        EditCase{"NotFound", "abc", members("xyz", "q"), std::nullopt, kNotFound},
        EditCase{"NotFoundAll", "abc", members("xyz", "q", true), std::nullopt, kNotFound},
        EditCase{"LongerThanFile", "ab", members("abc", "q"), std::nullopt, kNotFound},
        EditCase{"EmptyFile", "", members("a", "q", true), std::nullopt, kNotFound},
        EditCase{"CaseMatters", "Hello", members("hello", "q"), std::nullopt, kNotFound},
        EditCase{"EmptyOldString", "abc", members("", "q"), std::nullopt, kEmptyOld},
        EditCase{"AbsentOldString", "abc", members(std::nullopt, "q", true), std::nullopt, kEmptyOld},
        EditCase{"AbsentNewStringDeletes", "keep drop keep", members(" drop", std::nullopt), "keep keep",
                 ok_line(1, 9, {1}, " drop", "", false)},
        EditCase{"DeletesToEmpty", "abcabc", members("abc", "", true), "", ok_line(2, 0, {1, 1}, "abc", "", false)},
        EditCase{"SameStringRewritten", "x=1\ny\nx=1\n", members("x=1", "x=1", true), "x=1\ny\nx=1\n",
                 ok_line(2, 10, {1, 3}, "x=1", "x=1", false)},
        // A bare LF does not match where the file has CR LF.
        EditCase{"CrLfNotMatchedByLf", "a\r\nb", members("a\nb", "c"), std::nullopt, kNotFound},
        EditCase{"CrLfMatched", "a\r\nb\r\n", members("a\r\nb", "c"), "c\r\n", ok_line(1, 3, {1}, "a\r\nb", "c", false)},
        EditCase{"InvalidUtf8Kept", "\xEF\xBB\xBF\xff\xfe=old\x80\n\xc3", members("old", "n\xc3\xa9w"),
                 "\xEF\xBB\xBF\xff\xfe=n\xc3\xa9w\x80\n\xc3", ok_line(1, 13, {1}, "old", "n\xc3\xa9w", false)},
        EditCase{"EscapedTexts", "say \"hi\"\tnow\\", members("\"hi\"\t", "'\\'\n"), "say '\\'\nnow\\",
                 ok_line(1, 12, {1}, "\"hi\"\t", "'\\'\n", false)},
        EditCase{"CreateDirsIgnored", "abc", members("b", "B", false, R"(,"createDirs":true,"content":"zzz")"), "aBc",
                 ok_line(1, 3, {1}, "b", "B", false)}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Diff, Edit,
    ::testing::Values(
        EditCase{"SixteenOccurrences", rep(16, "x\n"), members("x", "y", true), rep(16, "y\n"),
                 ok_line(16, 32, one_to(16), "x", "y", false)},
        // The seventeenth is replaced and counted but gets no entry.
        EditCase{"SeventeenOccurrences", rep(17, "x\n"), members("x", "y", true), rep(17, "y\n"),
                 ok_line(17, 34, one_to(16), "x", "y", true)},
        EditCase{"Removed2048Whole", "<" + rep(2048, "o") + ">", members(rep(2048, "o"), "n"), "<n>",
                 ok_line(1, 3, {1}, rep(2048, "o"), "n", false)},
        EditCase{"Removed2049Clipped", "<" + rep(2049, "o") + ">", members(rep(2049, "o"), "n"), "<n>",
                 ok_line(1, 3, {1}, rep(2045, "o") + kEllipsis, "n", true)},
        // A three-byte character at bytes 2044 to 2046 is left out whole.
        EditCase{"ThreeByteCharacterStraddlesTheCut", "<o>", members("o", rep(2044, "n") + "\xE2\x82\xAC" + "nn"),
                 "<" + rep(2044, "n") + "\xE2\x82\xAC" + "nn>",
                 ok_line(1, 2051, {1}, "o", rep(2044, "n") + kEllipsis, true)},
        EditCase{"LongNewStringAloneTruncates", "<o>", members("o", rep(3000, "n")), "<" + rep(3000, "n") + ">",
                 ok_line(1, 3002, {1}, "o", rep(2045, "n") + kEllipsis, true)},
        // Line numbers are those of the old file, whatever earlier
        // replacements do to the line feeds.
        EditCase{"LinesOfTheOldFile", "a\na", members("a", "\n\n", true), "\n\n\n\n\n",
                 ok_line(2, 5, {1, 2}, "a", "\n\n", false)},
        EditCase{"LinesWhenLineFeedsRemoved", "a\nb\na\nb\na", members("\nb\n", "", true), "aaa",
                 ok_line(2, 3, {1, 3}, "\nb\n", "", false)},
        EditCase{"TwoOnOneLine", "foo foo\nbar\nfoo", members("foo", "baz", true), "baz baz\nbar\nbaz",
                 ok_line(3, 15, {1, 1, 3}, "foo", "baz", false)},
        EditCase{"OldStringBeginsWithLineFeed", "a\nb\nc", members("\nc", ""), "a\nb",
                 ok_line(1, 3, {2}, "\nc", "", false)},
        EditCase{"LineFeedEndsLine", "x\ny", members("y", "z"), "x\nz", ok_line(1, 3, {2}, "y", "z", false)},
        EditCase{"CrLfCountsOnce", "a\r\nb", members("b", "c"), "a\r\nc", ok_line(1, 4, {2}, "b", "c", false)},
        EditCase{"CrAloneEndsNoLine", "a\rb", members("b", "c"), "a\rc", ok_line(1, 3, {1}, "b", "c", false)}),
    [](const auto& info) { return info.param.name; });

// --- failures before the edit's own checks -------------------------------------

struct TargetCase {
  std::string name;
  std::string target;  // under the scratch directory; "d" is a directory there
  std::string members;
  std::string message;  // "{}" stands for the target
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

class EditTarget : public ::testing::TestWithParam<TargetCase> {};

// The target is checked before oldString is: a missing file or a directory
// is reported even when oldString is empty or absent, and an edit never
// creates anything, createDirs or not.
TEST_P(EditTarget, IsReportedFirstAndNothingIsCreated) {
  const TargetCase& c = GetParam();
  ScratchDir dir;
  fs::create_directory(dir / "d");
  std::string path = agent_path(dir / c.target);
  std::string message = c.message;
  message.replace(message.find("{}"), 2, path);
  EXPECT_EQ(edit(path, c.members).out, error_line(message));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"d"});
  EXPECT_TRUE(list_dir(dir / "d").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, EditTarget,
    ::testing::Values(TargetCase{"MissingAbsentOld", "missing", "", "stating remote file {}"},
                      TargetCase{"MissingEmptyOld", "missing", members("", "x"), "stating remote file {}"},
                      TargetCase{"Missing", "missing", members("a", "b"), "stating remote file {}"},
                      TargetCase{"MissingWithCreateDirs", "no/such/f", members("a", "b", false, R"(,"createDirs":true)"),
                                 "stating remote file {}"},
                      TargetCase{"DirectoryAbsentOld", "d", "", "path is a directory: {}"},
                      TargetCase{"Directory", "d", members("a", "b", true, R"(,"createDirs":true)"),
                                 "path is a directory: {}"}),
    [](const auto& info) { return info.param.name; });

// --- attributes and home -------------------------------------------------------

class EditKeepsMode : public ::testing::TestWithParam<mode_t> {};

TEST_P(EditKeepsMode, ReplacedFileKeepsItsMode) {
  // Windows carries the attribute word over, not permission bits: of these
  // modes only "read-only" (no write bit, as Wine shows the attribute) means
  // something there.
  if (agent_is_windows() && GetParam() != 0444) GTEST_SKIP() << "permission bits are a POSIX matter";
  ScratchDir dir;
  write_file(dir / "f", "old text");
  ASSERT_EQ(::chmod((dir / "f").c_str(), GetParam()), 0);
  EXPECT_EQ(edit(dir / "f", members("old", "new")).out, ok_line(1, 8, {1}, "old", "new", false));
  EXPECT_EQ(read_file(dir / "f"), "new text");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modes, EditKeepsMode, ::testing::Values(0600, 0640, 0755, 0444));

// Replacing a string by itself still installs a new file (there is no
// comparison of old and new content): the file is a different one after.
TEST(EditRewrite, SameStringInstallsAFreshFile) {
  if (agent_is_windows()) GTEST_SKIP() << "file identity is checked through POSIX inode numbers";
  ScratchDir dir;
  write_file(dir / "f", "same");
  struct stat before {}, after {};
  ASSERT_EQ(::stat((dir / "f").c_str(), &before), 0);
  EXPECT_EQ(edit(dir / "f", members("same", "same")).out, ok_line(1, 4, {1}, "same", "same", false));
  ASSERT_EQ(::stat((dir / "f").c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(read_file(dir / "f"), "same");
}

TEST(EditHome, TildeSlashEditsUnderHome) {
  ScratchDir dir;
  write_file(dir / "notes.txt", "one two");
  RunOptions o;
  o.home = agent_path(dir.path());
  EXPECT_EQ(edit("~/notes.txt", members("two", "2"), o).out, ok_line(1, 5, {1}, "two", "2", false));
  EXPECT_EQ(read_file(dir / "notes.txt"), "one 2");
  o.home.reset();
  o.unset_home = true;
  EXPECT_EQ(edit("~/notes.txt", members("one", "1"), o).out, error_line("remote HOME is not set"));
  EXPECT_EQ(read_file(dir / "notes.txt"), "one 2");
}

// A large file of near-matches: first and last byte of the old string
// match almost everywhere. The answer must be right; a search that compares
// at every position would take very long here.
TEST(EditLarge, LongOldStringAgainstNearMatches) {
  ScratchDir dir;
  const std::string old_string = rep(20000, "a") + "ba";
  write_file(dir / "f", rep(8u << 20, "a") + "ba");
  const std::size_t size = (8u << 20) + 2 - old_string.size() + 1;
  EXPECT_EQ(edit(agent_path(dir / "f"), members(old_string, "c")).out,
            ok_line(1, size, {1}, rep(2045, "a") + kEllipsis, "c", true));
  EXPECT_EQ(fs::file_size(dir / "f"), size);
}

}  // namespace
}  // namespace brevok::testing
