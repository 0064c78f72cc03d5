// Access the file system refuses, seen through the built agent. Root passes
// every permission check, so under root the agent is run as the unprivileged
// user 65534 (through setpriv); under any other user it runs as that user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "agent_process.h"

extern char** environ;

namespace brevok::testing {
namespace {

std::string find_setpriv() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    std::string candidate = d + "/setpriv";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

struct Answer {
  std::string out;
  std::string err;
  int status = -1;
};

// The field "error" of a response line (the paths used here need no
// escaping), or "" when there is none.
std::string error_of(const std::string& line) {
  static const std::regex re("\"ok\":false,.*\"error\":\"([^\"]*)\"");
  std::smatch m;
  return std::regex_search(line, m, re) ? m[1].str() : "";
}

std::string regex_escape(const std::string& s) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(s, special, R"(\$&)");
}

class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (agent_is_windows()) GTEST_SKIP() << "permission bits are a POSIX matter; not run against a Windows agent";
    if (::geteuid() == 0) {
      setpriv_ = find_setpriv();
      if (setpriv_.empty()) GTEST_SKIP() << "running as root and setpriv is missing: cannot drop privileges";
    }
    // The unprivileged user must reach the agent and the files.
    ::chmod(io.path().c_str(), 0755);
    ::chmod(work.path().c_str(), 0755);
    agent_ = agent_command().prefix;
    if (agent_.size() == 1) {
      std::filesystem::copy_file(agent_[0], io / "agent");
      agent_[0] = io / "agent";
    }

    std::filesystem::create_directory(work / "ro");
    write_file(work / "ro/f.txt", "old");
    ::chmod((work / "ro/f.txt").c_str(), 0666);
    ::chmod((work / "ro").c_str(), 0555);
    std::filesystem::create_directory(work / "locked");
    write_file(work / "locked/f.txt", "old");
    ::chmod((work / "locked").c_str(), 0);
    write_file(work / "secret.txt", "old");
    ::chmod((work / "secret.txt").c_str(), 0200);
  }

  Answer run(const std::string& request, bool as_ourselves = false) {
    write_file(io / "in", request);
    std::vector<std::string> words;
    if (!setpriv_.empty() && !as_ourselves) words = {setpriv_, "--reuid=65534", "--regid=65534", "--clear-groups"};
    words.insert(words.end(), agent_.begin(), agent_.end());
    words.push_back("--stdio");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, (io / "in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    Answer a;
    if (rc != 0) {
      a.err = "cannot start " + words[0];
      return a;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) a.status = WEXITSTATUS(status);
    a.out = read_file(io / "out");
    a.err += read_file(io / "err");
    return a;
  }

  // Opens everything up again and checks that nothing was changed.
  void expect_untouched() {
    ::chmod((work / "ro").c_str(), 0755);
    ::chmod((work / "locked").c_str(), 0755);
    ::chmod((work / "secret.txt").c_str(), 0600);
    EXPECT_EQ(list_dir(work / "ro"), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(list_dir(work / "locked"), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(read_file(work / "ro/f.txt"), "old");
    EXPECT_EQ(read_file(work / "locked/f.txt"), "old");
    EXPECT_EQ(read_file(work / "secret.txt"), "old");
  }

  ScratchDir io;
  ScratchDir work;
  std::string setpriv_;
  std::vector<std::string> agent_;
};

struct PermCase {
  std::string label;
  std::string operation;
  std::string name;     // under the work directory
  // "{path}" is the target, "{work}" the work directory, "{n}" the
  // temporary's process id and clock reading.
  std::string message;
  bool create_dirs = false;
};

void PrintTo(const PermCase& c, std::ostream* os) { *os << c.label; }

class PermissionCase : public Permissions, public ::testing::WithParamInterface<PermCase> {};

TEST_P(PermissionCase, FailsWithTheMessageOfTheStepAndChangesNothing) {
  const PermCase& c = GetParam();
  const std::string path = work / c.name;
  std::string request = R"({"protocol":1,"operation":")" + c.operation + R"(","path":)" + json_string(path);
  if (c.operation == "write") request += R"(,"content":"new")";
  if (c.create_dirs) request += R"(,"createDirs":true)";
  if (c.operation == "edit") request += R"(,"oldString":"old","newString":"new")";
  request += "}";

  Answer a = run(request);
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.err, "");
  std::string pattern = regex_escape(c.message);
  pattern = std::regex_replace(pattern, std::regex(R"(\\\{path\\\})"), regex_escape(path));
  pattern = std::regex_replace(pattern, std::regex(R"(\\\{work\\\})"), regex_escape(work.path()));
  pattern = std::regex_replace(pattern, std::regex(R"(\\\{n\\\})"), R"([0-9]+-[0-9]+)");
  EXPECT_TRUE(std::regex_match(error_of(a.out), std::regex(pattern))) << a.out << "\nexpected: " << pattern;
  expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PermissionCase,
    ::testing::Values(
        // The target itself is writable; its directory is not.
        PermCase{"WriteInReadOnlyDirectory", "write", "ro/f.txt",
                 "creating remote temporary {work}/ro/.f.txt.brevok-file-agent-{n}"},
        PermCase{"EditInReadOnlyDirectory", "edit", "ro/f.txt",
                 "creating remote temporary {work}/ro/.f.txt.brevok-file-agent-{n}"},
        PermCase{"CreateDirsInReadOnlyDirectory", "write", "ro/new/f.txt", "creating remote parent {work}/ro/new",
                 true},
        // Search permission denied on the way: not "missing", even for write.
        PermCase{"WriteBehindLockedDirectory", "write", "locked/f.txt", "stating remote file {path}"},
        PermCase{"WriteNewFileBehindLockedDirectory", "write", "locked/new.txt", "stating remote file {path}"},
        PermCase{"PreviewBehindLockedDirectory", "readPreview", "locked/f.txt", "stating remote file {path}"},
        PermCase{"EditBehindLockedDirectory", "edit", "locked/f.txt", "stating remote file {path}"},
        // Its metadata can be read, its content cannot.
        PermCase{"PreviewUnreadableFile", "readPreview", "secret.txt", "reading remote file {path}"},
        PermCase{"EditUnreadableFile", "edit", "secret.txt", "reading remote file {path}"}),
    [](const auto& info) { return info.param.label; });

// Who may keep what of a file that is not theirs: root keeps its owner and
// so its set-id bits; another user makes the file theirs, and then neither
// the set-id bits nor the old group's bits may stay.
TEST_F(Permissions, SetIdBitsStayOnlyWithTheirOwner) {
  if (setpriv_.empty()) GTEST_SKIP() << "needs root, to run the agent as root and as another user";
  std::filesystem::create_directory(work / "shared");
  ::chmod((work / "shared").c_str(), 0777);
  struct FileCase {
    std::string name;
    uid_t owner;
    mode_t mode;
    bool as_root;
    uid_t owner_after;
    mode_t mode_after;
  };
  for (const FileCase& c : {FileCase{"theirs", 65534, 04755, true, 65534, 04755},
                            FileCase{"roots", 0, 06777, false, 65534, 0707}}) {
    SCOPED_TRACE(c.name);
    const std::string path = work / ("shared/" + c.name);
    write_file(path, "old");
    ASSERT_EQ(::chown(path.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    Answer a = run(R"({"protocol":1,"operation":"edit","path":)" + json_string(path) +
                       R"(,"oldString":"old","newString":"new"})",
                   c.as_root);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(error_of(a.out), "") << a.out;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.owner_after);
    EXPECT_EQ(st.st_mode & 07777, c.mode_after);
    EXPECT_EQ(read_file(path), "new");
  }
}

}  // namespace
}  // namespace brevok::testing
