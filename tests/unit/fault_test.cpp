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


Result<FileAgentResponse> run(FaultPlatform& fp, const std::string& operation, std::string content = "new",
                              std::uint64_t limit = 1) {
  FileAgentRequest r{.protocol = 1, .operation = operation, .path = fp.dir / "f", .old_string = "b",
                     .new_string = "BB", .content = std::move(content), .limit = limit};
  if (operation == "write") return write_file(fp, r);
  return operation == "edit" ? edit_file(fp, r) : read_preview(fp, r);
}

// The error chain when a call fails, by phase: 0 while the target is read, 1 from the temporary's creation to its
// rename, 2 after the rename. "@" stands for the target, "~" for the temporary; "": the run succeeds.
// The temporary's path as messages show it, joined by the system's separator.
std::string temporary(const FaultPlatform& fp) {
  const auto name = std::ranges::find(fp.calls, "create_exclusive_at") - fp.calls.begin();
  return fp.dir.path() + (kNativePathStyle == PathStyle::kWindows ? "\\" : "/") + fp.paths.at(name);
}

const std::map<std::string, std::string> kFailures = {
    {"0 open_directory", "stating remote file @: injected"}, {"0 stat_at", "stating remote file @: injected"},
    {"0 stat_handle", "stating remote file @: injected"}, {"0 open_read_at", "reading remote file @: injected"},
    {"0 read", "reading remote file @: injected"},
    {"1 create_exclusive_at", "creating remote temporary ~: injected"},
    {"1 set_permissions", "preserving permissions for @: injected"},
    {"1 restore_set_id", "preserving permissions for @: injected"},
    {"1 write_all", "writing remote temporary ~: injected"}, {"1 sync", "syncing remote temporary ~: injected"},
    {"1 stat_at", "remote file changed during edit: @"}, {"1 rename_at", "installing remote file @: injected"},
    {"2 sync_directory", ""}, {"2 stat_entry", "stating installed remote file @: injected"},
    {"2 stat_handle", "stating installed remote file @: injected"},
    {"2 read_at", "verifying installed remote file @: injected"}};

struct Case {
  std::string name, operation;
  std::optional<std::string> before, after;  // the target's content; none: no file
};
const Case kCases[] = {{"WriteNew", "write", std::nullopt, "new"}, {"WriteReplace", "write", "old", "new"},
                       {"Edit", "edit", "a\nb\nc", "a\nBB\nc"}, {"Preview", "readPreview", "a\nb\n", "a\nb\n"}};

// What the order of a successful install must be for a crash or a failure at any point to leave the old file or the
// new one, whole, and nobody else's access widened while the content is written.
void expect_safe_order(const FaultPlatform& fp, const Case& c) {
  const auto& calls = fp.calls;
  const auto first = [&](const char* call) { return std::ranges::find(calls, call) - calls.begin(); };
  const auto last = [&](const char* call) { return calls.rend() - std::ranges::find(calls.rbegin(), calls.rend(), call) - 1; };
  const auto temp = first("create_exclusive_at"), rename = first("rename_at");
  if (c.operation == "readPreview") {
    EXPECT_EQ(temp, std::ssize(calls)) << "a preview writes nothing";
    return;
  }
  EXPECT_LT(last("set_permissions"), first("write_all")) << "permissions before the first byte";
  EXPECT_GT(first("restore_set_id"), last("write_all")) << "set-id bits after the last byte";
  EXPECT_EQ(std::ranges::count(calls, "set_permissions") + std::ranges::count(calls, "restore_set_id"),
            c.before ? 2 : 0) << "a new file left as the system made it";
  EXPECT_EQ(std::ranges::count(calls, "sync"), 1);
  EXPECT_LT(last("write_all"), first("sync")) << "the last byte synced";
  EXPECT_LT(first("sync"), rename) << "synced before it replaces the target";
  EXPECT_EQ(calls.at(rename + 1), "sync_directory") << "the rename made durable at once";
  EXPECT_GT(last("read_at"), rename) << "the installed file read back";
  EXPECT_EQ(calls.at(rename - 1), c.operation == "edit" ? "stat_at" : "sync") << "the edit's target looked at last";
  for (auto i = temp + 1; i < std::ssize(calls); ++i) {
    EXPECT_TRUE(fp.paths[i] != fp.paths[temp] || calls[i] == "rename_at") << calls[i] << " by the temporary's name";
  }
}

class EveryCall : public ::testing::TestWithParam<Case> {};

TEST_P(EveryCall, FailsAlone) {
  const Case& c = GetParam();
  std::size_t calls = 0;  // those of a success
  for (std::size_t n = 0; n == 0 || n <= calls; ++n) {  // call 0: none fails
    SCOPED_TRACE("failing call " + std::to_string(n));
    FaultPlatform fp;
    if (c.before) put(fp.dir / "f", *c.before);
    fp.fail_at = static_cast<int>(n);
    fs::perms made{};  // the temporary's mode when first used after its creation
    fp.before = [&](auto&) {
      if (fp.calls.size() && fp.calls.back() == "create_exclusive_at") made = fs::status(fp.dir / fp.paths.back()).permissions();
    };
    auto r = run(fp, c.operation);
    if (n == 0) calls = fp.calls.size(), expect_safe_order(fp, c);
    const auto at = [&](const char* call) { return std::size_t(std::ranges::find(fp.calls, call) - fp.calls.begin()); };
    const int phase = (at("create_exclusive_at") < n) + (at("rename_at") + 1 < n);
    std::string want = n == 0 ? "" : kFailures.at(std::to_string(phase) + " " + fp.calls.at(n - 1));
    for (std::size_t i; (i = want.find_first_of("@~")) != std::string::npos;) {
      want.replace(i, 1, want[i] == '@' ? fp.dir / "f" : temporary(fp));
    }
    EXPECT_EQ(r ? "" : r.error().full(), want);
    EXPECT_EQ(r ? "" : r.error().outermost(), want.substr(0, want.rfind(": injected")));
    if (n == 0 && c.before && c.operation != "readPreview" && kNativePathStyle == PathStyle::kPosix) {
      EXPECT_EQ(made, fs::perms(0600)) << "a replacement is private while it is written";
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
    fp.before = [&, seen = 0](const std::string& call) mutable {
      if (call != "stat_at" || ++seen < 2) return;  // the second look: just before the rename
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the clock tick of the file system's times
      put(target, changed), fs::last_write_time(target, then + std::chrono::hours(later));
    };
    auto r = run(fp, "edit");
    EXPECT_EQ(r ? "" : r.error().full(), "remote file changed during edit: " + target);
    EXPECT_EQ(get(target), changed);
    EXPECT_EQ(entries(fp.dir.path()), 1) << "temporary left";
  }
}

// The edit reads the whole file whatever size its metadata claims (the check before the rename sees the same claim).
TEST(Edit, ReadsTheWholeFileWhateverSizeIsClaimed) {
  for (std::uint64_t claimed : {1, 1 << 20}) {
    FaultPlatform fp;
    put(fp.dir / "f", std::string(5000, 'a') + "\nb\n");
    fp.claim = [&, k = 0](Result<FileMeta> m) mutable { return m->size = k++ < 3 ? claimed : m->size, m; };
    auto r = run(fp, "edit");
    EXPECT_EQ(r ? "" : r.error().full(), "");
    EXPECT_EQ(get(fp.dir / "f"), std::string(5000, 'a') + "\nBB\n") << claimed;
  }
}

// The read-back names where the installed file differs: one byte changed, one byte short.
TEST(Install, NamesWhereTheReadBackDiffers) {
  const std::string x(65536, 'x');
  for (bool shorter : {false, true}) {
    FaultPlatform fp;
    fp.reads = shorter ? x + x.substr(1) : x + x.substr(32768) + "y" + x.substr(32769);
    auto r = run(fp, "write", x + x);
    EXPECT_EQ(r ? "" : r.error().full(),
              shorter ? "installed remote file length changed during verification for " + fp.dir / "f" +
                            ": expected 131072 bytes, read 131071"
                      : "installed remote file content mismatch for " + fp.dir / "f" + " at byte 65536");
  }
}

// A file put at the name between its examination and its open is not read.
TEST(Preview, ReadsOnlyTheFileItExamined) {
  FaultPlatform fp;
  put(fp.dir / "f", "examined"), put(fp.dir / "g", "swapped");
  fp.before = [&](const std::string& call) { if (call == "open_read_at") fs::rename(fp.dir / "g", fp.dir / "f"); };
  auto r = run(fp, "readPreview");
  EXPECT_EQ(r ? "" : r.error().full(), "stating remote file " + fp.dir / "f");
}

// A file put at the name right after the rename is not taken for the one written.
TEST(Install, NoticesAnotherFileAtTheNameAfterTheRename) {
  if (kNativePathStyle == PathStyle::kWindows) GTEST_SKIP() << "a file held open cannot be replaced there";
  FaultPlatform fp;
  fp.before = [&](const std::string& call) {
    if (call == "sync_directory") put(fp.dir / "g", "new"), fs::rename(fp.dir / "g", fp.dir / "f");
  };
  auto r = run(fp, "write");
  EXPECT_EQ(r ? "" : r.error().full(), "installed remote file content mismatch for " + fp.dir / "f" + " at byte 0");
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

// The buffer doubles from 64 KiB, each step capped at the claimed size plus one: a file of 2^22 bytes is seen to
// its end without another doubling. A claim below the content is no reason to read less.
TEST(Preview, GrowsUpToTheClaimedSizeAndReadsPastIt) {
  const std::string x = std::string((1 << 22) - 1, 'a') + "\n";
  for (std::uint64_t claimed : {1 << 22, 1000}) {
    FaultPlatform fp;
    put(fp.dir / "f", x);
    fp.claim = [&](Result<FileMeta> m) { return m->size = claimed, m; };
    auto r = run(fp, "readPreview", "", 1 << 30);
    EXPECT_TRUE(r && r->data && r->data->view() == x) << claimed;
    if (claimed == 1000) continue;  // the steps a wrong claim takes are not the rule
    EXPECT_EQ(fp.asked, (std::vector<std::size_t>{65536, 65536, 131072, 262144, 524288, 1048576, 2097152, 1}));
    // Where buffers grow in place only within what they reserved (Windows), it reserved the claimed size.
    EXPECT_TRUE(kNativePathStyle != PathStyle::kWindows || r->data->data() == fp.into.front());
  }
}

// A buffer keeps what fits through every resize, up and down across 4 MiB (where buffers become mappings or
// reservations) and past what a reservation holds. On Windows it stays in place within its reservation: its limit
// where one was given, else twice its size.
TEST(Buffers, KeepWhatFitsThroughEveryResize) {
  constexpr std::size_t M = 1 << 20;
  // The size resized to; whether it may move on Windows when allocated without a limit, and with one of 24 MiB.
  const std::tuple<std::size_t, bool, bool> steps[] = {{3 * M, true, false},  {6 * M, true, false}, {12 * M, false, false},
                                                      {5 * M, false, false}, {M, false, false},    {40 * M, true, true},
                                                      {7 * M, false, false}, {0, false, false}};
  for (std::size_t limit : {std::size_t(0), 24 * M}) {
    std::size_t size = 65536;
    char* p = limit ? reserve_bytes(size, limit) : allocate_bytes(size);
    const auto at = [](std::size_t i, int tag) { return static_cast<char>(i % 251 + tag); };
    for (std::size_t i = 0; i < size; ++i) p[i] = at(i, 0);
    for (int tag = 0; const auto& [to, moves, reserved_moves] : steps) {
      char* was = p;
      ASSERT_NE(p = resize_bytes(p, size, to), nullptr);
      std::size_t kept = 0;
      while (kept < std::min(size, to) && p[kept] == at(kept, tag)) ++kept;
      EXPECT_EQ(kept, std::min(size, to)) << size << " to " << to << ", limit " << limit;
      EXPECT_TRUE(kNativePathStyle != PathStyle::kWindows || (limit ? reserved_moves : moves) || p == was) << to;
      size = to, ++tag;
      for (std::size_t i = 0; i < size; ++i) p[i] = at(i, tag);  // every page of it can be written
    }
    free_bytes(p, size);
  }
}

TEST(Agent, TakesARequestOf128MiBButNotOneByteMore) {
  for (std::size_t extra : {0, 1, 2}) {
    FaultPlatform fp;
    fp.input = R"({"protocol":1,"operation":"nop","path":"p"})" + std::string(134217728 - 43 + extra, ' ');
    auto r = run_agent({}, fp);
    EXPECT_EQ(r ? fp.output : r.error().full(),
              extra ? "file-agent request exceeds 134217728 bytes"
                    : R"({"protocol":1,"ok":false,"operation":"nop","replacements":0,"bytes":0,"binary":false,)"
                      R"("totalBytes":null,"data":null,"error":"unsupported file-agent operation: nop"})" "\n");
    EXPECT_EQ(fp.consumed, 134217728 + std::min<std::size_t>(extra, 1)) << "read on past the limit";
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
