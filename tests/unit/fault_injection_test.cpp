// Every platform call of every "write" and "edit" scenario fails once: the
// scenario runs once per call it makes, with the N-th call failed. Each run
// must answer with the message of the step that failed, leave the target as
// it was when the failure came before the rename (the new content when it
// came after), leave no temporary behind except in the one case where the
// temporary is the only copy left, and close every file it opened.
//
// The scenarios run on two platforms: the real one inside a scratch
// directory, and the in-memory double; both must make the same calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "fault_platform.h"
#include "memory_platform.h"
#include "open_files.h"
#include "operations.h"
#include "protocol.h"
#include "remote_fs.h"
#include "text.h"


namespace brevok::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kPid = 777;
constexpr std::uint64_t kNow = 1234567890123456789u;
constexpr std::string_view kInjected = "injected failure";
constexpr std::string_view kTempMarker = ".brevok-file-agent-";

struct Scenario {
  std::string name;
  std::string operation;  // "write" or "edit"
  std::string target;     // relative to the scratch root
  std::optional<std::string> before;  // nullopt: no file there
  std::uint32_t mode = 0644;
  bool via_home = false;  // request path "~/" + target, HOME the scratch root
  std::string content;
  bool create_dirs = false;
  std::string old_string;
  std::string new_string;
  bool replace_all = false;
  std::string after;  // the target once the operation has succeeded

  friend std::ostream& operator<<(std::ostream& os, const Scenario& s) { return os << s.name; }
};

std::string pattern(std::size_t size, char salt) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + static_cast<std::size_t>(salt)) % 26);
  for (std::size_t i = 99; i < size; i += 100) s[i] = '\n';
  return s;
}

std::vector<Scenario> scenarios() {
  std::vector<Scenario> v;
  auto write = [&](std::string name, std::string target, std::optional<std::string> before, std::string content) {
    Scenario s;
    s.name = std::move(name);
    s.operation = "write";
    s.target = std::move(target);
    s.before = std::move(before);
    s.content = content;
    s.after = std::move(content);
    return s;
  };
  auto edit = [&](std::string name, std::string before, std::string old_string, std::string new_string, bool all) {
    Scenario s;
    s.name = std::move(name);
    s.operation = "edit";
    s.target = "notes.txt";
    s.before = before;
    s.old_string = old_string;
    s.new_string = new_string;
    s.replace_all = all;
    s.after = all ? replaced(before, old_string, new_string)
                  : before.replace(before.find(old_string), old_string.size(), new_string);
    return s;
  };

  v.push_back(write("write_new_file", "notes.txt", std::nullopt, "hello\n"));
  v.push_back(write("write_replaces_file", "notes.txt", "old content\n", "new content\n"));
  {
    Scenario s = write("write_create_dirs", "a/b/c/notes.txt", std::nullopt, "deep\n");
    s.create_dirs = true;
    v.push_back(s);
  }
  {
    Scenario s = write("write_create_dirs_existing_parent", "notes.txt", "old\n", "new\n");
    s.create_dirs = true;
    v.push_back(s);
  }
  v.push_back(write("write_empty_new_file", "notes.txt", std::nullopt, ""));
  v.push_back(write("write_empty_over_file", "notes.txt", "old content\n", ""));
  {
    Scenario s = write("write_read_only_target", "notes.txt", "locked\n", "unlocked?\n");
    s.mode = 0444;
    v.push_back(s);
  }
  {
    Scenario s = write("write_via_home", "sub/notes.txt", "old\n", "from home\n");
    s.via_home = true;
    v.push_back(s);
  }
  v.push_back(write("write_multibyte", "notes.txt", "x", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80\n"));
  // Larger than the verification buffer: the read-back takes several reads.
  v.push_back(write("write_large", "notes.txt", pattern(100, 'o'), pattern(3 * VERIFY_BUFFER_BYTES + 17, 'n')));

  v.push_back(edit("edit_single", "alpha\nbeta\ngamma\n", "beta", "BETA", false));
  v.push_back(edit("edit_replace_all", "x1 x2\nx3\n", "x", "why", true));
  v.push_back(edit("edit_deletes_everything", "only", "only", "", false));
  v.push_back(edit("edit_same_text", "keep me\n", "keep", "keep", false));
  v.push_back(edit("edit_crlf", "a\r\nb\r\n", "\r\nb", "\r\nc", false));
  {
    Scenario s = edit("edit_read_only_target", "ro: value\n", "value", "other", false);
    s.mode = 0444;
    v.push_back(s);
  }
  {
    Scenario s = edit("edit_via_home", "home: 1\n", "1", "2", false);
    s.target = "sub/notes.txt";
    s.via_home = true;
    v.push_back(s);
  }
  {
    std::string big = pattern(2 * VERIFY_BUFFER_BYTES + 5, 'e') + "MARK";
    v.push_back(edit("edit_large", big, "MARK", "DONE", false));
  }
  return v;
}

// --- the two platforms

class Backend {
 public:
  virtual ~Backend() = default;
  virtual Platform& platform() = 0;
  virtual std::string root() = 0;
  virtual void put(const std::string& rel, const std::string& content, std::uint32_t mode) = 0;
  virtual void mkdir(const std::string& rel) = 0;
  virtual std::optional<std::string> get(const std::string& rel) = 0;
  // Every file anywhere under the root whose name marks it as a temporary,
  // with its content.
  virtual std::map<std::string, std::string> temporaries() = 0;
  // Open files (or descriptors) right now; nullopt where that cannot be told.
  virtual std::optional<std::size_t> open_files() = 0;
};

std::optional<std::string> slurp(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return std::nullopt;
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class NativeBackend final : public Backend {
 public:
  NativeBackend() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    root_ = fs::temp_directory_path() /
            ("brevok-fault-" + std::to_string(rd()) + "-" + std::to_string(counter.fetch_add(1)));
    fs::create_directories(root_);
  }
  ~NativeBackend() override {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
  }
  Platform& platform() override { return native_platform(); }
  std::string root() override { return root_.string(); }
  void put(const std::string& rel, const std::string& content, std::uint32_t mode) override {
    fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
    fs::permissions(p, static_cast<fs::perms>(mode));
  }
  void mkdir(const std::string& rel) override { fs::create_directories(root_ / rel); }
  std::optional<std::string> get(const std::string& rel) override { return slurp(root_ / rel); }
  std::map<std::string, std::string> temporaries() override {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root_)) {
      std::string name = e.path().filename().string();
      if (name.find(kTempMarker) != std::string::npos) out[e.path().string()] = slurp(e.path()).value_or("");
    }
    return out;
  }
  std::optional<std::size_t> open_files() override { return count_open_files(); }

 private:
  fs::path root_;
};

class MemoryBackend final : public Backend {
 public:
  MemoryBackend() : mem_("/scratch") {}
  Platform& platform() override { return mem_; }
  std::string root() override { return "/scratch"; }
  void put(const std::string& rel, const std::string& content, std::uint32_t mode) override {
    std::string p = root() + "/" + rel;
    mem_.add_directory(std::string(path_parent(p)));
    mem_.add_file(p, content, mode);
  }
  void mkdir(const std::string& rel) override { mem_.add_directory(root() + "/" + rel); }
  std::optional<std::string> get(const std::string& rel) override { return mem_.file(root() + "/" + rel); }
  std::map<std::string, std::string> temporaries() override {
    std::map<std::string, std::string> out;
    for (auto& [path, content] : mem_.files()) {
      if (path.find(kTempMarker) != std::string::npos) out[path] = content;
    }
    return out;
  }
  std::optional<std::size_t> open_files() override {
    EXPECT_TRUE(mem_.misuse.empty()) << mem_.misuse.front();
    return mem_.open_handles();
  }

 private:
  MemoryPlatform mem_;
};

enum class Kind { kNative, kMemory };

std::unique_ptr<Backend> make_backend(Kind k) {
  if (k == Kind::kNative) return std::make_unique<NativeBackend>();
  return std::make_unique<MemoryBackend>();
}

// --- one run

struct Outcome {
  std::optional<Result<FileAgentResponse>> result;
  std::vector<Op> log;
  std::optional<std::string> target;
  std::map<std::string, std::string> temporaries;
  std::string target_path;  // resolved, as the messages show it
  std::string temp_path;
  std::string temp_raw_path;
  std::vector<std::string> paths;  // the path each call named, if any
  std::string parent_path;
};

Outcome run_scenario(const Scenario& s, Kind kind, const std::function<void(FaultPlatform&)>& arm) {
  auto backend = make_backend(kind);
  if (s.before) {
    backend->put(s.target, *s.before, s.mode);
  } else if (!s.create_dirs) {
    backend->mkdir(std::string(path_parent(s.target)));
  }
  FaultPlatform fp(backend->platform());
  fp.pid_override = kPid;
  fp.now_override = kNow;
  fp.home_override = std::optional<std::string>(backend->root());
  arm(fp);

  FileAgentRequest req;
  req.protocol = 1;
  req.operation = s.operation;
  req.path = (s.via_home ? "~/" : backend->root() + "/") + s.target;
  req.content = s.content;
  req.create_dirs = s.create_dirs;
  req.old_string = s.old_string;
  req.new_string = s.new_string;
  req.replace_all = s.replace_all;

  Outcome r;
  std::optional<std::size_t> open_before = backend->open_files();
  r.result = s.operation == "write" ? write_file(fp, req) : edit_file(fp, req);
  std::optional<std::size_t> open_after = backend->open_files();
  EXPECT_EQ(open_before, open_after) << "files left open";
  r.log = fp.log();
  r.paths = fp.paths();
  r.target = backend->get(s.target);
  r.temporaries = backend->temporaries();
  // A path from HOME is joined as the agent joins it.
  std::string target = s.via_home ? join_path(backend->root(), s.target) : backend->root() + "/" + s.target;
  std::string parent(path_parent(target));
  r.target_path = display_path(target);
  r.parent_path = display_path(parent);
  r.temp_raw_path = join_path(parent, temporary_name(*path_file_name(target), kPid, kNow));
  r.temp_path = display_path(r.temp_raw_path);
  return r;
}

std::ptrdiff_t index_of(const std::vector<Op>& log, Op op) {
  auto it = std::find(log.begin(), log.end(), op);
  return it == log.end() ? -1 : it - log.begin();
}

// What failing call `n` (0-based) of `clean` must lead to: an error message
// with the injected failure as its cause, one without a cause, or nullopt
// for a failure the operation survives.
// `run` supplies the paths, which differ from run to run.
struct Expected {
  std::string message;
  bool caused = true;
};
std::optional<Expected> expected_message(const std::vector<Op>& log, std::size_t n, const Outcome& run) {
  Op op = log[n];
  auto rename = index_of(log, Op::kRenameReplace);
  bool before_rename = rename < 0 || static_cast<std::ptrdiff_t>(n) < rename;
  const std::string& t = run.target_path;
  switch (op) {
    case Op::kStat:
      if (!before_rename) return Expected{"stating installed remote file " + t};
      // An edit looks at its target again just before the rename; a write
      // only before it starts.
      if (index_of(log, Op::kCreateExclusive) < static_cast<std::ptrdiff_t>(n)) {
        return Expected{"remote file changed during edit: " + t, false};
      }
      return Expected{"stating remote file " + t};
    case Op::kStatHandle:
      return Expected{"stating remote file " + t};
    case Op::kOpenRead:
      return Expected{before_rename ? "reading remote file " + t : "opening installed remote file " + t};
    case Op::kRead:
      return Expected{before_rename ? "reading remote file " + t : "verifying installed remote file " + t};
    case Op::kCreateDirectories:
      return Expected{"creating remote parent " + run.parent_path};
    case Op::kCreateExclusive:
      return Expected{"creating remote temporary " + run.temp_path};
    case Op::kWriteAll:
      return Expected{"writing remote temporary " + run.temp_path};
    case Op::kSync:
      return Expected{"syncing remote temporary " + run.temp_path};
    case Op::kSetPermissions:
      return Expected{"preserving permissions for " + t};
    case Op::kRenameReplace:
      return Expected{"installing remote file " + t};
    case Op::kSyncDirectory:
      return std::nullopt;  // only a hint; its failure is ignored
    default:
      ADD_FAILURE() << "unexpected call " << op_name(op);
      return Expected{"?"};
  }
}

// The calls of a run, a run of reads written once.
std::string describe(const std::vector<Op>& log) {
  std::string out;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] == Op::kRead && i > 0 && log[i - 1] == Op::kRead) continue;
    out += std::string(out.empty() ? "" : " ") + op_name(log[i]);
  }
  return out;
}

// The required order: the target looked at (an edit reads it through the
// descriptor it checked), the temporary created, given its permissions
// before its first byte, written, synced, the target looked at again by an
// edit, the rename, the directory synced, and the read-back.
std::string required_calls(const Scenario& s) {
  std::string head = s.operation == "edit" ? "open_read stat_handle read " : "stat ";
  if (s.create_dirs) head += "create_directories ";
  return head + "create_exclusive set_permissions write_all sync " + (s.operation == "edit" ? "stat " : "") +
         "rename_replace sync_directory stat open_read read";
}

// The in-memory double separates paths with '/' only, while HOME is joined
// with the platform's separator, '\\' on Windows.
bool memory_double_cannot_join(const Scenario& s) { return s.via_home && kNativePathStyle == PathStyle::kWindows; }

class FaultInjection : public ::testing::TestWithParam<std::tuple<Scenario, Kind>> {};

TEST_P(FaultInjection, EveryCallFailsOnce) {
  const auto& [s, kind] = GetParam();
  if (kind == Kind::kMemory && memory_double_cannot_join(s)) GTEST_SKIP() << "the in-memory double has no '\\'";
  Outcome clean = run_scenario(s, kind, [](FaultPlatform&) {});
  SCOPED_TRACE("calls: " + describe(clean.log));
  ASSERT_TRUE(*clean.result) << clean.result->error().full();
  EXPECT_EQ(clean.target, s.after);
  EXPECT_TRUE(clean.temporaries.empty());
  EXPECT_EQ(describe(clean.log), required_calls(s));
  // After its creation the temporary is named only to move it into place.
  for (std::size_t i = 0; i < clean.log.size(); ++i) {
    if (clean.paths[i] == clean.temp_raw_path) {
      EXPECT_TRUE(clean.log[i] == Op::kCreateExclusive || clean.log[i] == Op::kRenameReplace)
          << op_name(clean.log[i]) << " names the temporary";
    }
  }

  int injected = 0;
  for (std::size_t n = 0; n < clean.log.size(); ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n + 1) + ": " + op_name(clean.log[n]));
    Outcome r = run_scenario(s, kind, [&](FaultPlatform& fp) {
      fp.fail_nth(static_cast<int>(n) + 1, Error::os(std::string(kInjected)));
    });
    ++injected;
    EXPECT_EQ(r.log[n], clean.log[n]);
    std::optional<Expected> expected = expected_message(clean.log, n, r);
    bool before_rename = static_cast<std::ptrdiff_t>(n) <= index_of(clean.log, Op::kRenameReplace);
    if (!expected) {
      EXPECT_TRUE(*r.result) << r.result->error().full();
      EXPECT_EQ(r.target, s.after);
      EXPECT_TRUE(r.temporaries.empty());
      continue;
    }
    if (*r.result) {
      ADD_FAILURE() << "succeeded although " << op_name(clean.log[n]) << " failed";
      continue;
    }
    const Error& e = r.result->error();
    EXPECT_EQ(e.outermost(), expected->message);
    EXPECT_EQ(e.full(), expected->caused ? expected->message + ": " + std::string(kInjected) : expected->message);
    if (before_rename) {
      EXPECT_EQ(r.target, s.before) << "target changed by a failure before the rename";
    } else {
      EXPECT_EQ(r.target, s.after) << "a failure after the rename leaves the new file";
    }
    EXPECT_TRUE(r.temporaries.empty()) << "temporary left: " << r.temporaries.begin()->first;
  }
  std::cout << "[ injected ] " << s.name << (kind == Kind::kNative ? " (native)" : " (memory)") << ": " << injected
            << " injected failures\n";
  RecordProperty("injected_failures", injected);
  EXPECT_GT(injected, 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultInjection,
                         ::testing::Combine(::testing::ValuesIn(scenarios()),
                                            ::testing::Values(Kind::kNative, Kind::kMemory)),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) == Kind::kNative ? "_native" : "_memory");
                         });

// The double stands in for the real platform only if the agent makes the
// same calls on both.
class MemoryDouble : public ::testing::TestWithParam<Scenario> {};

TEST_P(MemoryDouble, MakesTheCallsOfTheRealPlatform) {
  const Scenario& s = GetParam();
  if (memory_double_cannot_join(s)) GTEST_SKIP() << "the in-memory double has no '\\'";
  Outcome native = run_scenario(s, Kind::kNative, [](FaultPlatform&) {});
  Outcome memory = run_scenario(s, Kind::kMemory, [](FaultPlatform&) {});
  EXPECT_EQ(describe(memory.log), describe(native.log));
  EXPECT_EQ(memory.target, native.target);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MemoryDouble, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok::testing
