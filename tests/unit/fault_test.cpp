// Each operation with every platform call failed in turn, the calls a success makes, and the refusals that depend
// on what the platform reports.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "fault_platform.h"
#include "file_agent.h"
#include "operations.h"
#include "protocol.h"

namespace brevok::testing {
namespace {

namespace fs = std::filesystem;

void put(const std::string& path, std::string_view s) { std::ofstream(path, std::ios::binary) << s; }
std::optional<std::string> get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}
std::vector<std::string> entries(const Scratch& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
  return names;
}

Result<FileAgentResponse> run(FaultPlatform& fp, const std::string& operation, std::string content = "new") {
  FileAgentRequest r{.protocol = 1, .operation = operation, .path = fp.dir / "f", .old_string = "b",
                     .new_string = "BB", .content = std::move(content), .limit = 1};
  if (operation == "write") return write_file(fp, r);
  return operation == "edit" ? edit_file(fp, r) : read_preview(fp, r);
}

struct Case {
  std::string name, operation;
  std::optional<std::string> before, after;  // the target's content; none: no file
  std::string calls;                          // the calls of a success
  // Per call, the error chain when it fails: "@" the target, "~" the temporary; empty when the run succeeds.
  std::vector<std::string> failures;
};

const std::vector<std::string> kInstall = {
    "creating remote temporary ~: injected", "preserving permissions for @: injected",
    "writing remote temporary ~: injected", "syncing remote temporary ~: injected"};
const std::vector<std::string> kVerify = {
    "installing remote file @: injected", "", "stating installed remote file @: injected",
    "opening installed remote file @: injected", "verifying installed remote file @: injected",
    "verifying installed remote file @: injected"};
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  return a.insert(a.end(), b.begin(), b.end()), a;
}

const Case kCases[] = {
    {"WriteNew", "write", std::nullopt, "new",
     "stat create_exclusive set_permissions write_all sync rename_replace sync_directory stat open_read read read",
     std::vector<std::string>{"stating remote file @: injected"} + kInstall + kVerify},
    {"WriteReplace", "write", "old", "new",
     "stat create_exclusive set_permissions write_all sync rename_replace sync_directory stat open_read read read",
     std::vector<std::string>{"stating remote file @: injected"} + kInstall + kVerify},
    {"Edit", "edit", "a\nb\nc", "a\nBB\nc",
     "open_read stat_handle read read create_exclusive set_permissions write_all sync stat rename_replace "
     "sync_directory stat open_read read read",
     std::vector<std::string>{"reading remote file @: injected", "stating remote file @: injected",
                              "reading remote file @: injected", "reading remote file @: injected"} +
         kInstall + std::vector<std::string>{"remote file changed during edit: @"} + kVerify},
    {"Preview", "readPreview", "a\nb\n", "a\nb\n", "open_read stat_handle read read",
     {"reading remote file @: injected", "stating remote file @: injected", "reading remote file @: injected",
      "reading remote file @: injected"}},
};

std::string filled(std::string s, const FaultPlatform& fp) {
  for (std::size_t at; (at = s.find_first_of("@~")) != std::string::npos;) {
    auto temp = std::find(fp.calls.begin(), fp.calls.end(), "create_exclusive") - fp.calls.begin();
    s.replace(at, 1, s[at] == '@' ? fp.dir / "f" : fp.paths.at(temp));
  }
  return s;
}

class EveryCall : public ::testing::TestWithParam<Case> {};

TEST_P(EveryCall, FailsCleanly) {
  const Case& c = GetParam();
  auto setup = [&](FaultPlatform& fp) { if (c.before) put(fp.dir / "f", *c.before); };
  FaultPlatform clean;
  setup(clean);
  auto ok = run(clean, c.operation);
  ASSERT_TRUE(ok) << ok.error().full();
  EXPECT_EQ(clean.sequence(), c.calls);
  EXPECT_EQ(get(clean.dir / "f"), c.after);
  EXPECT_EQ(entries(clean.dir), std::vector<std::string>{"f"});
  EXPECT_EQ(clean.open, 0);
  const auto rename = std::find(clean.calls.begin(), clean.calls.end(), "rename_replace") - clean.calls.begin();
  ASSERT_EQ(c.failures.size(), clean.calls.size());
  for (std::size_t n = 0; n < c.failures.size(); ++n) {
    SCOPED_TRACE("failing " + clean.calls[n] + " (call " + std::to_string(n + 1) + ")");
    FaultPlatform fp;
    setup(fp);
    fp.fail_at = static_cast<int>(n) + 1;
    auto r = run(fp, c.operation);
    const std::string want = filled(c.failures[n], fp);
    EXPECT_EQ(r ? "" : r.error().full(), want);
    EXPECT_EQ(r ? "" : r.error().outermost(), want.substr(0, want.rfind(": injected")));
    EXPECT_EQ(get(fp.dir / "f"), static_cast<std::ptrdiff_t>(n) > rename ? c.after : c.before);
    EXPECT_EQ(entries(fp.dir), c.before || static_cast<std::ptrdiff_t>(n) > rename ? std::vector<std::string>{"f"}
                                                                                   : std::vector<std::string>{});
    EXPECT_EQ(fp.open, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, EveryCall, ::testing::ValuesIn(kCases), [](auto& i) { return i.param.name; });

TEST(Edit, RefusesATargetChangedBeforeTheRename) {
  for (bool grown : {true, false}) {
    FaultPlatform fp;
    const std::string target = fp.dir / "f", changed = grown ? "a\nb\nc\n" : "a\nx\nc";
    put(target, "a\nb\nc");
    fp.before = [&](const std::string& call) {
      if (call != "stat") return;
      put(target, changed);
      if (!grown) fs::last_write_time(target, fs::last_write_time(target) + std::chrono::hours(1));
    };
    auto r = run(fp, "edit");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().full(), "remote file changed during edit: " + target);
    EXPECT_EQ(get(target), changed);
    EXPECT_EQ(entries(fp.dir), std::vector<std::string>{"f"});
  }
}

TEST(Install, NamesThePieceOfTheVerifiedFileThatDiffers) {
  FaultPlatform fp;
  const std::string content(70000, 'x');
  fp.reads = content;
  fp.reads->at(65536) = 'y';
  auto r = run(fp, "write", content);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().full(), "installed remote file content mismatch for " + (fp.dir / "f") + " at byte 65536");
}

TEST(Preview, CountsTheRestOfAFileWhoseSizeIsNotExact) {
  for (bool exact : {true, false}) {
    FaultPlatform fp;
    put(fp.dir / "f", std::string(10000, 'a') + "\n" + std::string(9999, 'b'));
    fp.claim = [&](FileMeta m) { return m.size = 999999, m.size_exact = exact, m; };
    auto r = run(fp, "readPreview");
    ASSERT_TRUE(r) << r.error().full();
    EXPECT_EQ(r->total_bytes, exact ? 999999u : 20000u);
  }
}

TEST(Agent, TakesARequestOf128MiBButNotOneByteMore) {
  for (std::size_t extra : {0, 1}) {
    FaultPlatform fp;
    const std::string request = R"({"protocol":1,"operation":"nop","path":"p"})";
    fp.input = request + std::string(134217728 - request.size() + extra, ' ');
    const std::string_view args[] = {"--stdio"};
    auto r = run_agent(args, fp);
    EXPECT_EQ(r ? fp.output : r.error().full(),
              extra ? "file-agent request exceeds 134217728 bytes"
                    : R"({"protocol":1,"ok":false,"operation":"nop","replacements":0,"bytes":0,"binary":false,)"
                      R"("totalBytes":null,"data":null,"error":"unsupported file-agent operation: nop"})" "\n");
  }
}

}  // namespace
}  // namespace brevok::testing
