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
#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;  // this build's agent is sanitized too
#else
constexpr bool kSanitized = false;
#endif

struct Entry {
  std::string name, content;
  char kind = 'f';              // 'f' a regular file, 'd' a directory, 'p' a FIFO
  int mode = -1, owner = -1;    // a file's permission bits and owner (as root); -1: as they come
  bool operator==(const Entry&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << e.kind << ' ' << e.name << ' ' << ::testing::PrintToString(e.content) << ' ' << e.mode << ' ' << e.owner;
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
  bool posix = false;           // needs a POSIX agent (a FIFO, a resource limit, a signal)
  bool windows = false;         // needs a Windows agent (a stream name)
  bool home = false;            // HOME is the directory
  unsigned long fsize = 0;      // RLIMIT_FSIZE, when not 0
  unsigned long as = 0;         // RLIMIT_AS, when not 0: only for the plain native agent (see below)
  bool no_reader = false;       // standard output a pipe whose reading end is closed
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// A text of 9000 bytes, "a\n" and then "b"s, with one NUL at `at`.
std::string nul_at(std::size_t at) { std::string s = "a\n" + std::string(8998, 'b'); return s[at] = '\0', s; }

std::string repeat(int n, const std::string& s) { return n > 0 ? s + repeat(n - 1, s) : ""; }

// Response lines, member by member.
std::string refused(const std::string& op, const std::string& error) {
  return R"({"protocol":1,"ok":false,"operation":")" + op + R"(","replacements":0,"bytes":0,"binary":false,)"
         R"("totalBytes":null,"data":null,"error":")" + error + "\"}\n";
}
std::string wrote(int bytes) {
  return R"({"protocol":1,"ok":true,"operation":"write","replacements":0,"bytes":)" + std::to_string(bytes) +
         R"(,"binary":false,"totalBytes":null,"data":null,"error":null})" "\n";
}
std::string previewed(int bytes, const std::string& data) {  // data: the Base64 text, or "" for a binary file
  const std::string n = std::to_string(bytes);
  return R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":)" + n + R"(,"binary":)" +
         (data.empty() ? "true" : "false") + R"(,"totalBytes":)" + n + R"(,"data":)" +
         (data.empty() ? "null" : '"' + data + '"') + R"(,"error":null})" "\n";
}
std::string edited(int count, int bytes, const std::string& changes, bool truncated = false) {
  return R"({"protocol":1,"ok":true,"operation":"edit","replacements":)" + std::to_string(count) + R"(,"bytes":)" +
         std::to_string(bytes) + R"(,"binary":false,"totalBytes":null,"data":null,"diff":{"changes":[)" + changes +
         R"(],"truncated":)" + (truncated ? "true" : "false") + R"(},"error":null})" "\n";
}

const std::string kSixteenX = repeat(16, "x"), kX = R"({"line":1,"removed":"x","added":"y"})";
const std::string kPreview = R"({"protocol":1,"operation":"readPreview","path":)";
const std::string kWrite = R"({"protocol":1,"operation":"write","path":)", kEdit = R"({"protocol":1,"operation":"edit","path":)";

const std::vector<Row> kRows = {
    {.name = "Version", .args = {"--version"}, .out = "brevok-file-agent " BREVOK_VERSION "\n"},
    {.name = "Help", .args = {"--help"}, .out = "brevok-file-agent --stdio|--version\n"},
    {.name = "UnknownSwitch", .args = {"--bogus"}, .err = "brevok-file-agent: unknown argument: --bogus\n",
     .status = 1},
    // readPreview
    {.name = "PreviewWholeFileWithoutFinalLineFeed", .in = kPreview + R"("@/f"})", .before = {{"f", "a\nb\nc"}},
     .out = previewed(5, "YQpiCmM=")},
    {.name = "PreviewOffsetAndLimit", .in = kPreview + R"("@/f","offset":2,"limit":1})", .before = {{"f", "a\nb\nc"}},
     .out = previewed(5, "YQpiCg==")},
    {.name = "PreviewNulAtByte8191IsBinary", .in = kPreview + R"("@/f","limit":1})", .before = {{"f", nul_at(8191)}},
     .out = previewed(9000, "")},
    {.name = "PreviewNulAtByte8192IsText", .in = kPreview + R"("@/f","limit":1})", .before = {{"f", nul_at(8192)}},
     .out = previewed(9000, "YQo=")},
    {.name = "PreviewNulAsLastByteIsBinary", .in = kPreview + R"("@/f"})", .before = {{"f", std::string("a\n\0", 3)}},
     .out = previewed(3, "")},
    {.name = "PreviewEmptyFileIsText", .in = kPreview + R"("@/f"})", .before = {{"f", ""}},
     .out = R"({"protocol":1,"ok":true,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
            R"("totalBytes":0,"data":"","error":null})" "\n"},
    // Base64 across the 8192-byte output buffer: only its last group may be partial.
    {.name = "PreviewLongerThanTheOutputBuffer", .in = kPreview + R"("@/f"})", .before = {{"f", repeat(3000, "abc")}},
     .out = previewed(9000, repeat(3000, "YWJj"))},
    {.name = "PreviewMissing", .in = kPreview + R"("@/f"})", .out = refused("readPreview", "stating remote file @/f")},
    // A directory is not a regular file either: its own message shows which check comes first.
    {.name = "PreviewDirectory", .in = kPreview + R"("@/d"})", .before = {{"d", "", 'd'}},
     .out = refused("readPreview", "path is a directory: @/d")},
    {.name = "PreviewFifo", .in = kPreview + R"("@/p"})", .before = {{"p", "", 'p'}},
     .out = refused("readPreview", "path is not a regular file: @/p"), .posix = true},
    // The path cut at its NUL would name the file "a".
    {.name = "PreviewNulInPath", .in = kPreview + R"("@/a\u0000b"})", .before = {{"a", "a"}},
     .out = refused("readPreview", R"(stating remote file @/a\u0000b)")},
    {.name = "PreviewHome", .in = kPreview + R"("~/f"})", .before = {{"f", "hi"}}, .out = previewed(2, "aGk="),
     .home = true},
    {.name = "PreviewHomeItself", .in = kPreview + R"("~"})", .out = refused("readPreview", "path is a directory: @"),
     .home = true},
    // A controlling tool gone before the answer: a failure on standard error, never a death by SIGPIPE.
    {.name = "PreviewToAClosedOutput", .in = kPreview + R"("@/f"})",
     .err = "brevok-file-agent: flushing file-agent response: Broken pipe\n", .status = 1, .posix = true,
     .no_reader = true},
    // write
    // A new file as the system makes one (the agent runs under umask 022).
    {.name = "WriteNew", .in = kWrite + R"("@/f","content":"hi\n"})", .out = wrote(3),
     .after = Tree{{"f", "hi\n", 'f', 0644}}},
    {.name = "WriteCreatingDirectories", .in = kWrite + R"("@/a/b/f","content":"hi","createDirs":true})",
     .out = wrote(2), .after = Tree{{"a", "", 'd'}, {"a/b", "", 'd'}, {"a/b/f", "hi"}}},
    // The new file keeps the old one's permissions and owner.
    {.name = "WriteReplacing", .in = kWrite + R"("@/f","content":""})", .before = {{"f", "old", 'f', 0604, 65534}},
     .out = wrote(0), .after = Tree{{"f", "", 'f', 0604, 65534}}},
    {.name = "WriteIntoAMissingDirectory", .in = kWrite + R"("@/a/f","content":"x"})",
     .out = refused("write", "creating remote temporary @/a/.f.brevok-file-agent-#"), .posix = true},
    // The parents come first; only then is the missing file name found.
    {.name = "WriteWithoutAFileName", .in = kWrite + R"("@/a/..","content":"x","createDirs":true})",
     .out = refused("write", "remote path must have a valid UTF-8 file name"), .after = Tree{{"a", "", 'd'}},
     .posix = true},  // Windows resolves ".." before any directory is made
    {.name = "WriteDirectory", .in = kWrite + R"("@/d","content":"x"})", .before = {{"d", "", 'd'}},
     .out = refused("write", "path is a directory: @/d")},
    {.name = "WriteFifo", .in = kWrite + R"("@/p","content":"x"})", .before = {{"p", "", 'p'}},
     .out = refused("write", "path is not a regular file: @/p"), .posix = true},
    {.name = "WriteStreamName", .in = kWrite + R"("@/f:s","content":"x"})", .before = {{"f", "old"}},
     .out = refused("write", "path is not a regular file: @/f:s"), .windows = true},
    {.name = "WriteOverFileSizeLimit", .in = kWrite + R"("@/f","content":")" + std::string(4096, 'a') + "\"}",
     .before = {{"f", "old"}}, .out = refused("write", "writing remote temporary @/.f.brevok-file-agent-#"),
     .posix = true, .fsize = 1024},
    // Buffers take address space by need: a small request fits in 64 MiB of it.
    {.name = "PreviewIn64MiBOfAddressSpace", .in = kPreview + R"("@/f"})", .before = {{"f", std::string(1024, 'a')}},
     .out = previewed(1024, repeat(341, "YWFh") + "YQ=="), .as = 64 << 20},
    {.name = "WriteIn64MiBOfAddressSpace", .in = kWrite + R"("@/f","content":")" + std::string(1024, 'a') + "\"}",
     .out = wrote(1024), .after = Tree{{"f", std::string(1024, 'a'), 'f', 0644}}, .as = 64 << 20},
    {.name = "EditIn64MiBOfAddressSpace", .in = kEdit + R"("@/f","oldString":"two","newString":"2"})",
     .before = {{"f", std::string(1019, 'a') + "\ntwo\n"}}, .out = edited(1, 1022, R"({"line":2,"removed":"two","added":"2"})"),
     .after = Tree{{"f", std::string(1019, 'a') + "\n2\n"}}, .as = 64 << 20},
    {.name = "WriteProtocolAbove", .in = R"({"protocol":2,"operation":"write","path":"@/f","content":"x"})",
     .out = refused("write", "unsupported file-agent protocol 2; expected 1")},
    {.name = "WriteProtocolBelow", .in = R"({"protocol":0,"operation":"write","path":"@/f","content":"x"})",
     .out = refused("write", "unsupported file-agent protocol 0; expected 1")},
    {.name = "WriteUnknownMemberSkipped", .in = kWrite + R"("@/f","content":"x","mode":"0600"})", .out = wrote(1),
     .after = Tree{{"f", "x"}}},
    {.name = "IncompleteJson", .in = kWrite + R"("f","content":"x")",
     .err = "brevok-file-agent: decoding file-agent request: incomplete JSON at line 1 column 59\n", .status = 1},
    {.name = "EditOne", .in = kEdit + R"("@/f","oldString":"two","newString":"2"})",
     .before = {{"f", "one\ntwo\none\n", 'f', 06751, 65534}},
     .out = edited(1, 10, R"({"line":2,"removed":"two","added":"2"})"),
     .after = Tree{{"f", "one\n2\none\n", 'f', 06751, 65534}}},
    {.name = "EditNotUnique", .in = kEdit + R"("@/f","oldString":"one","newString":"1"})",
     .before = {{"f", "one\ntwo\none\n"}},
     .out = refused("edit", "oldString is not unique (found 2 occurrences); set replaceAll=true")},
    {.name = "EditAllGrowing", .in = kEdit + R"("@/f","oldString":"one","newString":"ONE!","replaceAll":true})",
     .before = {{"f", "one\ntwo\none\n"}},
     .out = edited(2, 14, R"({"line":1,"removed":"one","added":"ONE!"},{"line":3,"removed":"one","added":"ONE!"})"),
     .after = Tree{{"f", "ONE!\ntwo\nONE!\n"}}},
    {.name = "EditNotFound", .in = kEdit + R"("@/f","oldString":"three","newString":"3"})", .before = {{"f", "one\n"}},
     .out = refused("edit", "oldString not found in remote file")},
    {.name = "EditEmptyOldStringOfMissingFile", .in = kEdit + R"("@/f","oldString":"","newString":"x"})",
     .out = refused("edit", "stating remote file @/f")},
    {.name = "EditEmptyOldStringOfExistingFile", .in = kEdit + R"("@/f","oldString":"","newString":"x"})",
     .before = {{"f", "one\n"}}, .out = refused("edit", "oldString must not be empty")},
    {.name = "EditCrLf", .in = kEdit + R"("@/f","oldString":"b\r\nc","newString":"x\r\ny"})",
     .before = {{"f", "a\r\nb\r\nc\r\n"}}, .out = edited(1, 9, R"({"line":2,"removed":"b\r\nc","added":"x\r\ny"})"),
     .after = Tree{{"f", "a\r\nx\r\ny\r\n"}}},
    // An occurrence that begins with its line's line feed starts on that line.
    {.name = "EditFromLineFeed", .in = kEdit + R"("@/f","oldString":"\nb","newString":"\nc"})",
     .before = {{"f", "a\nb\n"}}, .out = edited(1, 4, R"({"line":1,"removed":"\nb","added":"\nc"})"),
     .after = Tree{{"f", "a\nc\n"}}},
    {.name = "EditSixteenShown", .in = kEdit + R"("@/f","oldString":"x","newString":"y","replaceAll":true})",
     .before = {{"f", kSixteenX}}, .out = edited(16, 16, repeat(15, kX + ",") + kX),
     .after = Tree{{"f", repeat(16, "y")}}},
    {.name = "EditSeventeenTruncated", .in = kEdit + R"("@/f","oldString":"x","newString":"y","replaceAll":true})",
     .before = {{"f", kSixteenX + "x"}}, .out = edited(17, 17, repeat(15, kX + ",") + kX, true),
     .after = Tree{{"f", repeat(17, "y")}}},
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
    if (e.mode >= 0 && !agent_is_windows()) {
      ASSERT_EQ(::chown(path.c_str(), ::geteuid() ? -1 : e.owner, -1) | ::chmod(path.c_str(), e.mode), 0);
    }
  }
}

Tree list(const std::string& dir) {
  Tree tree;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    Entry& x = tree.emplace_back(fs::relative(e.path(), dir).string(), "",
                                 e.is_fifo() ? 'p' : e.is_directory() ? 'd' : 'f');
    struct stat st{};
    if (x.kind == 'f') x.content = get(e.path().string()).value_or("");
    if (x.kind == 'f' && ::stat(e.path().c_str(), &st) == 0) x.mode = st.st_mode & 07777, x.owner = int(st.st_uid);
  }
  std::ranges::sort(tree, {}, &Entry::name);
  return tree;
}

class Agent : public ::testing::TestWithParam<Row> {};

TEST_P(Agent, AnswersAsTheRowSays) {
  const Row& row = GetParam();
  if (row.posix && agent_is_windows()) GTEST_SKIP() << "not for a Windows agent";
  if (row.windows && !agent_is_windows()) GTEST_SKIP() << "for a Windows agent";
  Scratch dir;
  make(dir.path(), row.before);
  RunOptions o{.args = row.args, .input = expand(row.in, dir.path()), .cwd = dir.path()};
  if (row.home) o.home = agent_path(dir.path());
  if (row.fsize != 0) o.file_size_limit = row.fsize;
  // An emulator, Wine or the sanitizer's shadow memory need far more address space than the agent.
  if (row.as != 0 && (std::getenv("BREVOK_AGENT") || kSanitized)) GTEST_SKIP() << "address space: native agent only";
  if (row.as != 0) o.address_limit = row.as;
  o.no_reader = row.no_reader;
  const AgentResult r = run_agent(o);
  const std::string out = std::regex_replace(r.out, std::regex("(brevok-file-agent-)[0-9]+-[0-9]+"), "$1#");
  EXPECT_EQ(out, expand(row.out, dir.path()));
  EXPECT_EQ(r.err, row.err);
  EXPECT_EQ(r.exit_status, row.status);
  Tree want = row.after.value_or(row.before), got = list(dir.path());
  for (std::size_t i = 0; i < std::min(want.size(), got.size()); ++i) {  // what the row leaves open, as it came
    if (want[i].mode < 0 || agent_is_windows()) want[i].mode = got[i].mode;
    if (want[i].owner < 0 || agent_is_windows() || ::geteuid() != 0) want[i].owner = got[i].owner;
  }
  EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Rows, Agent, ::testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok::testing
