// Every platform call of each operation failed in turn, and the refusals that depend on what the platform reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "fault_platform.h"
#include "file_agent.h"
#include "operations.h"

namespace brevok::testing {
namespace {

namespace fs = std::filesystem;


Result<FileAgentResponse> run(FaultPlatform& fp, const std::string& operation, std::string content = "new") {
  FileAgentRequest r{.protocol = 1, .operation = operation, .path = fp.dir / "f", .old_string = "b",
                     .new_string = "BB", .content = std::move(content), .limit = 1};
  if (operation == "write") return write_file(fp, r);
  return operation == "edit" ? edit_file(fp, r) : read_preview(fp, r);
}

// The error chain when a call fails, by phase: 0 while the target is read, 1 from the temporary's creation to its
// rename, 2 after the rename. "@" stands for the target, "~" for the temporary; "": the run succeeds.
const std::map<std::string, std::string> kFailures = {
    {"0 stat", "stating remote file @: injected"}, {"0 stat_handle", "stating remote file @: injected"},
    {"0 open_read", "reading remote file @: injected"}, {"0 read", "reading remote file @: injected"},
    {"1 create_exclusive", "creating remote temporary ~: injected"},
    {"1 set_permissions", "preserving permissions for @: injected"},
    {"1 restore_set_id", "preserving permissions for @: injected"},
    {"1 write_all", "writing remote temporary ~: injected"}, {"1 sync", "syncing remote temporary ~: injected"},
    {"1 stat", "remote file changed during edit: @"}, {"1 rename_replace", "installing remote file @: injected"},
    {"2 sync_directory", ""}, {"2 stat", "stating installed remote file @: injected"},
    {"2 open_read", "opening installed remote file @: injected"},
    {"2 read", "verifying installed remote file @: injected"}};

struct Case {
  std::string name, operation, calls;        // calls: those of a success, in order
  std::optional<std::string> before, after;  // the target's content; none: no file
};
// A replacement gets the old file's permissions before its first byte and its set-id bits after the last; a new
// file is left as the system made it.
const std::string kReplace = "create_exclusive set_permissions write_all restore_set_id sync ",
                  kVerify = "rename_replace sync_directory stat open_read read read";
const Case kCases[] = {
    {"WriteNew", "write", "stat create_exclusive write_all sync " + kVerify, std::nullopt, "new"},
    {"WriteReplace", "write", "stat " + kReplace + kVerify, "old", "new"},
    {"Edit", "edit", "open_read stat_handle read read " + kReplace + "stat " + kVerify, "a\nb\nc", "a\nBB\nc"},
    {"Preview", "readPreview", "open_read stat_handle read read", "a\nb\n", "a\nb\n"},
};

class EveryCall : public ::testing::TestWithParam<Case> {};

TEST_P(EveryCall, FailsAlone) {
  const Case& c = GetParam();
  for (int n = 0; n <= std::count(c.calls.begin(), c.calls.end(), ' ') + 1; ++n) {  // call 0: none fails
    SCOPED_TRACE("failing call " + std::to_string(n));
    FaultPlatform fp;
    if (c.before) put(fp.dir / "f", *c.before);
    fp.fail_at = n;
    fs::perms made{};  // the temporary's, when first used after its creation
    fp.before = [&](auto&) {
      if (fp.sequence.ends_with("create_exclusive")) made = fs::status(fp.paths.back()).permissions();
    };
    auto r = run(fp, c.operation);
    const auto at = [&](const char* call) { return std::ranges::find(fp.calls, call) - fp.calls.begin(); };
    const int phase = (at("create_exclusive") < n) + (at("rename_replace") < n - 1);
    std::string want = n == 0 ? "" : kFailures.at(std::to_string(phase) + " " + fp.calls.at(n - 1));
    for (std::size_t i; (i = want.find_first_of("@~")) != std::string::npos;) {
      want.replace(i, 1, want[i] == '@' ? fp.dir / "f" : fp.paths.at(at("create_exclusive")));
    }
    EXPECT_EQ(r ? "" : r.error().full(), want);
    EXPECT_EQ(r ? "" : r.error().outermost(), want.substr(0, want.rfind(": injected")));
    if (n == 0) { ASSERT_EQ(fp.sequence, c.calls); }  // the rest relies on it
    if (n == 0 && kNativePathStyle == PathStyle::kPosix && c.calls.contains("create")) {  // private, or as any new
      Scratch plain;
      put(plain / "new", "");
      EXPECT_EQ(made, c.before ? fs::perms(0600) : fs::status(plain / "new").permissions());
    }
    EXPECT_EQ(get(fp.dir / "f"), n == 0 || phase == 2 ? c.after : c.before);
    EXPECT_EQ(entries(fp.dir.path()), c.before || n == 0 || phase == 2 ? 1 : 0) << "temporary left";
    EXPECT_EQ(fp.open, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, EveryCall, ::testing::ValuesIn(kCases), [](auto& i) { return i.param.name; });

TEST(Edit, RefusesATargetChangedBeforeTheRename) {
  // Grown; the same size, written later; the same size, its modification time set back.
  for (auto [changed, later] : {std::pair("a\nb\nc\n", 0), {"a\nx\nc", 1}, {"a\nx\nc", 0}}) {
    FaultPlatform fp;
    const std::string target = fp.dir / "f";
    put(target, "a\nb\nc");
    const auto then = fs::last_write_time(target);
    fp.before = [&](const std::string& call) {
      if (call != "stat") return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the clock tick of the file system's times
      put(target, changed), fs::last_write_time(target, then + std::chrono::hours(later));
    };
    auto r = run(fp, "edit");
    EXPECT_EQ(r ? "" : r.error().full(), "remote file changed during edit: " + target);
    EXPECT_EQ(get(target), changed);
    EXPECT_EQ(entries(fp.dir.path()), 1) << "temporary left";
  }
}

TEST(Install, NamesThePieceOfTheVerifiedFileThatDiffers) {
  FaultPlatform fp;
  fp.reads = std::string(65536, 'x') + "y" + std::string(3463, 'x');
  auto r = run(fp, "write", std::string(70000, 'x'));
  EXPECT_EQ(r ? "" : r.error().full(), "installed remote file content mismatch for " + fp.dir / "f" + " at byte 65536");
}

TEST(Preview, CountsTheRestOfAFileWhoseSizeIsNotExact) {
  for (bool exact : {true, false}) {
    FaultPlatform fp;
    put(fp.dir / "f", std::string(10000, 'a') + "\n" + std::string(9999, 'b'));
    fp.claim = [&](Result<FileMeta> m) { return m->size = 999999, m->size_exact = exact, m; };
    auto r = run(fp, "readPreview");
    EXPECT_EQ(r ? *r->total_bytes : 0, exact ? 999999u : 20000u);
  }
}

TEST(Agent, TakesARequestOf128MiBButNotOneByteMore) {
  for (std::size_t extra : {0, 1}) {
    FaultPlatform fp;
    fp.input = R"({"protocol":1,"operation":"nop","path":"p"})" + std::string(134217728 - 43 + extra, ' ');
    auto r = run_agent({}, fp);
    EXPECT_EQ(r ? fp.output : r.error().full(),
              extra ? "file-agent request exceeds 134217728 bytes"
                    : R"({"protocol":1,"ok":false,"operation":"nop","replacements":0,"bytes":0,"binary":false,)"
                      R"("totalBytes":null,"data":null,"error":"unsupported file-agent operation: nop"})" "\n");
  }
}

// The response goes out through an 8192-byte buffer that writes through only when full, so the step that meets a
// failed standard output depends on the line's length: 8191, 8192 or 8193 bytes before its line feed.
TEST(Agent, NamesTheStepThatMetAFailedOutput) {
  const std::string steps[] = {"flushing", "writing", "encoding"};
  for (std::size_t i = 0; i < 3; ++i) {
    for (bool broken : {false, true}) {
      FaultPlatform fp;
      fp.input = R"({"protocol":2,"operation":")" + std::string(8023 + i, 'o') + R"(","path":"p"})";
      fp.before = [&](const std::string& call) {
        if (broken && call == "write_stdout") fp.fail_at = static_cast<int>(fp.calls.size()) + 1;  // this call
      };
      auto r = run_agent({}, fp);
      EXPECT_EQ(r ? std::to_string(fp.output.size()) : r.error().full(),
                broken ? steps[i] + " file-agent response: injected" : std::to_string(8192 + i));
    }
  }
}

// Memory running out inside an operation is that operation's answer, naming what it was doing.
TEST(Agent, AnswersOutOfMemoryAsTheOperation) {
  for (const auto& [op, doing] : {std::pair("readPreview", "reading"), {"write", "writing"}, {"edit", "editing"}}) {
    FaultPlatform fp;
    fp.input = R"({"protocol":1,"operation":")" + std::string(op) + R"(","path":"f","oldString":"a"})";
    fp.before = [](const std::string& call) {
      if (!call.ends_with("_stdin") && !call.ends_with("_stdout")) throw std::bad_alloc();  // the first file call
    };
    auto r = run_agent({}, fp);
    EXPECT_EQ(r ? fp.output.substr(fp.output.find("\"error\"")) : r.error().full(),
              R"("error":"out of memory )" + std::string(doing) + R"( remote file f"})" "\n");
  }
}

}  // namespace
}  // namespace brevok::testing
