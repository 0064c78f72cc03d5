// The agent through its binary, one row per behaviour, each run in a fresh
// directory that is also its working directory. In a request and in an
// expected response, "@" stands for that directory as the agent sees it
// (JSON-escaped), "@/" for it with the agent's separator after it, and "#"
// for the process id and clock reading that end a temporary's name.
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>
#include "agent_process.h"

namespace brevok::testing {
namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string name, content;
  char kind = 'f';  // 'f' a regular file, 'd' a directory, 'p' a FIFO
  bool operator==(const Entry&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << e.kind << ' ' << e.name << ' ' << ::testing::PrintToString(e.content);
}
using Tree = std::vector<Entry>;

struct Row {
  std::string name;
  std::vector<std::string> args{};
  std::string in{};
  Tree before{};
  std::string out{}, err{};
  int status = 0;
  std::optional<Tree> after{};  // the whole directory afterwards; none: as before
  bool posix = false;           // needs a POSIX agent (a FIFO, a resource limit)
  bool home = false;            // HOME is the directory
  unsigned long fsize = 0;      // RLIMIT_FSIZE, when not 0
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// A text of 9000 bytes, "a\n" and then "b"s, with one NUL at `at`.
std::string nul_at(std::size_t at) {
  std::string s = "a\n" + std::string(8998, 'b');
  s[at] = '\0';
  return s;
}

std::string repeat(int n, const std::string& s) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

const std::string kSixteenX = repeat(16, "x"), kX = R"({"line":1,"removed":"x","added":"y"})";

const std::vector<Row> kRows = {
    {.name = "Version", .args = {"--version"}, .out = "brevok-file-agent 4.0.0\n"},
    {.name = "Help", .args = {"--help"}, .out = "brevok-file-agent --stdio|--version\n"},
    {.name = "UnknownSwitch", .args = {"--bogus"}, .err = "brevok-file-agent: unknown argument: --bogus\n",
     .status = 1},
    // readPreview
    {.name = "PreviewWholeFileWithoutFinalLineFeed",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/f"})", .before = {{"f", "a\nb\nc"}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":5,"binary":false,)"
            R"("totalBytes":5,"data":"YQpiCmM=","error":null})" "\n"},
    {.name = "PreviewOffsetAndLimit",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/f","offset":2,"limit":1})",
     .before = {{"f", "a\nb\nc"}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":5,"binary":false,)"
            R"("totalBytes":5,"data":"YQpiCg==","error":null})" "\n"},
    {.name = "PreviewNulAtByte8191IsBinary",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/f","limit":1})", .before = {{"f", nul_at(8191)}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":9000,"binary":true,)"
            R"("totalBytes":9000,"data":null,"error":null})" "\n"},
    {.name = "PreviewNulAtByte8192IsText",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/f","limit":1})", .before = {{"f", nul_at(8192)}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":9000,"binary":false,)"
            R"("totalBytes":9000,"data":"YQo=","error":null})" "\n"},
    {.name = "PreviewNulAsLastByteIsBinary",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/f"})", .before = {{"f", std::string("a\n\0", 3)}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":3,"binary":true,)"
            R"("totalBytes":3,"data":null,"error":null})" "\n"},
    {.name = "PreviewEmptyFileIsText",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/f"})", .before = {{"f", ""}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":0,"data":"","error":null})" "\n"},
    {.name = "PreviewMissing", .in = R"({"protocol":1,"operation":"readPreview","path":"@/f"})",
     .out = R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"stating remote file @/f"})" "\n"},
    // A directory is not a regular file either: its own message shows which check comes first.
    {.name = "PreviewDirectory",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/d"})", .before = {{"d", "", 'd'}},
     .out = R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"path is a directory: @/d"})" "\n"},
    {.name = "PreviewFifo",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/p"})", .before = {{"p", "", 'p'}},
     .out = R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"path is not a regular file: @/p"})" "\n", .posix = true},
    // The path cut at its NUL would name the file "a".
    {.name = "PreviewNulInPath",
     .in = R"({"protocol":1,"operation":"readPreview","path":"@/a\u0000b"})", .before = {{"a", "a"}},
     .out = R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"stating remote file @/a\u0000b"})" "\n"},
    {.name = "PreviewHome", .in = R"({"protocol":1,"operation":"readPreview","path":"~/f"})", .before = {{"f", "hi"}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":2,"binary":false,)"
            R"("totalBytes":2,"data":"aGk=","error":null})" "\n", .home = true},
    {.name = "PreviewHomeItself", .in = R"({"protocol":1,"operation":"readPreview","path":"~"})",
     .out = R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"path is a directory: @"})" "\n", .home = true},
    // write
    {.name = "WriteNew", .in = R"({"protocol":1,"operation":"write","path":"@/f","content":"hi\n"})",
     .out = R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":3,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":null})" "\n", .after = Tree{{"f", "hi\n"}}},
    {.name = "WriteCreatingDirectories",
     .in = R"({"protocol":1,"operation":"write","path":"@/a/b/f","content":"hi","createDirs":true})",
     .out = R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":2,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":null})" "\n",
     .after = Tree{{"a", "", 'd'}, {"a/b", "", 'd'}, {"a/b/f", "hi"}}},
    {.name = "WriteReplacing", .in = R"({"protocol":1,"operation":"write","path":"@/f","content":""})",
     .before = {{"f", "old"}},
     .out = R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":null})" "\n", .after = Tree{{"f", ""}}},
    {.name = "WriteHome", .in = R"({"protocol":1,"operation":"write","path":"~/f","content":"hi"})",
     .out = R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":2,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":null})" "\n", .after = Tree{{"f", "hi"}}, .home = true},
    {.name = "WriteDirectory",
     .in = R"({"protocol":1,"operation":"write","path":"@/d","content":"x"})", .before = {{"d", "", 'd'}},
     .out = R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"path is a directory: @/d"})" "\n"},
    {.name = "WriteFifo",
     .in = R"({"protocol":1,"operation":"write","path":"@/p","content":"x"})", .before = {{"p", "", 'p'}},
     .out = R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"path is not a regular file: @/p"})" "\n", .posix = true},
    {.name = "WriteNulInPath",
     .in = R"({"protocol":1,"operation":"write","path":"@/a\u0000b","content":"x"})", .before = {{"a", "a"}},
     .out = R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"stating remote file @/a\u0000b"})" "\n"},
    // Over the file size limit: an answer, not death by SIGXFSZ, and no temporary left.
    {.name = "WriteOverFileSizeLimit",
     .in = R"({"protocol":1,"operation":"write","path":"@/f","content":")" + std::string(4096, 'a') + "\"}",
     .before = {{"f", "old"}},
     .out = R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"writing remote temporary @/.f.brevok-file-agent-#"})" "\n",
     .posix = true, .fsize = 1024},
    {.name = "WriteUnsupportedProtocol", .in = R"({"protocol":2,"operation":"write","path":"@/f","content":"x"})",
     .out = R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"unsupported file-agent protocol 2; expected 1"})" "\n"},
    {.name = "WriteUnknownMemberSkipped",
     .in = R"({"protocol":1,"operation":"write","path":"@/f","content":"x","mode":"0600"})",
     .out = R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":1,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":null})" "\n", .after = Tree{{"f", "x"}}},
    {.name = "IncompleteJson", .in = R"({"protocol":1,"operation":"write","path":"f","content":"x")",
     .err = "brevok-file-agent: decoding file-agent request: incomplete JSON at line 1 column 59\n", .status = 1},
    {.name = "TrailingCharacters", .in = R"({"protocol":1,"operation":"write","path":"f","content":"x"} x)",
     .err = "brevok-file-agent: decoding file-agent request: trailing characters at line 1 column 61\n", .status = 1},
    // edit
    {.name = "EditOne", .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"two","newString":"2"})",
     .before = {{"f", "one\ntwo\none\n"}},
     .out = R"({"protocol":1,"ok":true,"operation":"edit","replacements":1,"bytes":10,"binary":false,)"
            R"("totalBytes":null,"data":null,"diff":{"changes":[{"line":2,"removed":"two","added":"2"}],)"
            R"("truncated":false},"error":null})" "\n", .after = Tree{{"f", "one\n2\none\n"}}},
    {.name = "EditNotUnique",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"one","newString":"1"})",
     .before = {{"f", "one\ntwo\none\n"}},
     .out = R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"oldString is not unique (found 2 occurrences); )"
            R"(set replaceAll=true"})" "\n"},
    {.name = "EditAll",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"one","newString":"1","replaceAll":true})",
     .before = {{"f", "one\ntwo\none\n"}},
     .out = R"({"protocol":1,"ok":true,"operation":"edit","replacements":2,"bytes":8,"binary":false,)"
            R"("totalBytes":null,"data":null,"diff":{"changes":[{"line":1,"removed":"one","added":"1"},)"
            R"({"line":3,"removed":"one","added":"1"}],"truncated":false},"error":null})" "\n",
     .after = Tree{{"f", "1\ntwo\n1\n"}}},
    {.name = "EditNotFound",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"three","newString":"3"})",
     .before = {{"f", "one\n"}},
     .out = R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"oldString not found in remote file"})" "\n"},
    {.name = "EditEmptyOldStringOfMissingFile",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"","newString":"x"})",
     .out = R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"stating remote file @/f"})" "\n"},
    {.name = "EditEmptyOldStringOfExistingFile",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"","newString":"x"})",
     .before = {{"f", "one\n"}},
     .out = R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"oldString must not be empty"})" "\n"},
    {.name = "EditCrLf",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"b\r\nc","newString":"x\r\ny"})",
     .before = {{"f", "a\r\nb\r\nc\r\n"}},
     .out = R"({"protocol":1,"ok":true,"operation":"edit","replacements":1,"bytes":9,"binary":false,)"
            R"("totalBytes":null,"data":null,"diff":{"changes":[{"line":2,"removed":"b\r\nc","added":"x\r\ny"}],)"
            R"("truncated":false},"error":null})" "\n", .after = Tree{{"f", "a\r\nx\r\ny\r\n"}}},
    // An occurrence that begins with its line's line feed starts on that line.
    {.name = "EditFromLineFeed",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"\nb","newString":"\nc"})",
     .before = {{"f", "a\nb\n"}},
     .out = R"({"protocol":1,"ok":true,"operation":"edit","replacements":1,"bytes":4,"binary":false,)"
            R"("totalBytes":null,"data":null,"diff":{"changes":[{"line":1,"removed":"\nb","added":"\nc"}],)"
            R"("truncated":false},"error":null})" "\n", .after = Tree{{"f", "a\nc\n"}}},
    {.name = "EditSixteenShown",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"x","newString":"y","replaceAll":true})",
     .before = {{"f", kSixteenX}},
     .out = R"({"protocol":1,"ok":true,"operation":"edit","replacements":16,"bytes":16,"binary":false,)"
            R"("totalBytes":null,"data":null,"diff":{"changes":[)" + repeat(15, kX + ",") + kX +
            R"(],"truncated":false},"error":null})" "\n", .after = Tree{{"f", repeat(16, "y")}}},
    {.name = "EditSeventeenTruncated",
     .in = R"({"protocol":1,"operation":"edit","path":"@/f","oldString":"x","newString":"y","replaceAll":true})",
     .before = {{"f", kSixteenX + "x"}},
     .out = R"({"protocol":1,"ok":true,"operation":"edit","replacements":17,"bytes":17,"binary":false,)"
            R"("totalBytes":null,"data":null,"diff":{"changes":[)" + repeat(15, kX + ",") + kX +
            R"(],"truncated":true},"error":null})" "\n", .after = Tree{{"f", repeat(17, "y")}}},
    {.name = "EditNulInPath",
     .in = R"({"protocol":1,"operation":"edit","path":"@/a\u0000b","oldString":"a","newString":"b"})",
     .before = {{"a", "a"}},
     .out = R"({"protocol":1,"ok":false,"operation":"edit","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":null,"data":null,"error":"stating remote file @/a\u0000b"})" "\n"},
};

std::string expand(std::string s, const std::string& dir) {
  auto escaped = [](std::string path) {
    for (std::size_t i = 0; (i = path.find('\\', i)) != std::string::npos; i += 2) path.insert(i, 1, '\\');
    return path;
  };
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"@/", escaped(agent_path(dir + "/"))},
                                 {"@", escaped(agent_path(dir))}}) {
    for (std::size_t i = 0; (i = s.find(from, i)) != std::string::npos; i += to.size()) s.replace(i, from.size(), to);
  }
  return s;
}

void make(const std::string& dir, const Tree& tree) {
  for (const Entry& e : tree) {
    const std::string path = dir + "/" + e.name;
    if (e.kind == 'd') fs::create_directories(path);
    ASSERT_TRUE(e.kind != 'p' || ::mkfifo(path.c_str(), 0644) == 0);
    if (e.kind == 'f') put(path, e.content);
  }
}

Tree list(const std::string& dir) {
  Tree tree;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    Entry& x = tree.emplace_back(fs::relative(e.path(), dir).string(), "",
                                 e.is_fifo() ? 'p' : e.is_directory() ? 'd' : 'f');
    if (x.kind == 'f') x.content = get(e.path().string()).value_or("");
  }
  std::ranges::sort(tree, {}, &Entry::name);
  return tree;
}

class Agent : public ::testing::TestWithParam<Row> {};

TEST_P(Agent, AnswersAsTheRowSays) {
  const Row& row = GetParam();
  if (row.posix && agent_is_windows()) GTEST_SKIP() << "not for a Windows agent";
  Scratch dir;
  make(dir.path(), row.before);
  RunOptions o{.args = row.args, .input = expand(row.in, dir.path()), .cwd = dir.path()};
  if (row.home) o.home = agent_path(dir.path());
  if (row.fsize != 0) o.file_size_limit = row.fsize;
  const AgentResult r = run_agent(o);
  const std::string out = std::regex_replace(r.out, std::regex("(brevok-file-agent-)[0-9]+-[0-9]+"), "$1#");
  EXPECT_EQ(out, expand(row.out, dir.path()));
  EXPECT_EQ(r.err, row.err);
  EXPECT_EQ(r.exit_status, row.status);
  EXPECT_EQ(list(dir.path()), row.after.value_or(row.before));
}

INSTANTIATE_TEST_SUITE_P(Rows, Agent, ::testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok::testing
