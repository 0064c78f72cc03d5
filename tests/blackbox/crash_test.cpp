// Agents killed while they write, and agents racing on one file: the target
// always holds one whole version, never a mixture or a truncated file.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "agent_process.h"

namespace brevok::testing {
namespace {

namespace fs = std::filesystem;

// Lines that name the version and their own offset, so that a piece of one
// version inside another shows; the sizes differ too.
std::string version(const std::string& head, int v, std::size_t size) {
  std::string s = head;
  while (s.size() < size + v * 4099u) s += "version " + std::to_string(v) + " at " + std::to_string(s.size()) + "\n";
  return s;
}
std::string text(const std::string& s) { return '"' + std::regex_replace(s, std::regex("\n"), "\\n") + '"'; }
std::string request(const std::string& op, const std::string& path, const std::string& members) {
  return R"({"protocol":1,"operation":")" + op + R"(","path":)" + text(path) + "," + members + "}";
}
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
std::size_t entries(const std::string& dir) { return std::distance(fs::directory_iterator(dir), {}); }

TEST(Crash, KilledWriterLeavesOneWholeVersion) {
  if (agent_is_windows()) GTEST_SKIP() << "POSIX signals";
  ScratchDir work, io;
  const std::string target = work.path + "/t";
  const std::string versions[2] = {version("", 0, 4 << 20), version("", 1, 4 << 20)};
  std::ofstream(target, std::ios::binary) << versions[0];
  for (int v : {0, 1}) std::ofstream(io.path + "/" + std::to_string(v)) << request("write", target, "\"content\":" + text(versions[v]));
  for (int sig : {SIGKILL, SIGTERM}) {
    int landed = 0;
    for (int round = 0; round < 10; ++round) {
      const int in = ::open((io.path + "/" + std::to_string(round % 2)).c_str(), O_RDONLY | O_CLOEXEC);
      const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
      const pid_t pid = spawn_agent({}, in, null, null);
      ::close(in), ::close(null);
      // The signal goes once the temporary shows: the agent is at work.
      int status = 0;
      bool sent = false, reaped = false;
      while (!sent && !reaped) {
        sent = entries(work.path) > 1 && ::kill(pid, sig) == 0;
        reaped = ::waitpid(pid, &status, WNOHANG) == pid;
      }
      ASSERT_TRUE(reaped || ::waitpid(pid, &status, 0) == pid);
      landed += sent && WIFSIGNALED(status) && WTERMSIG(status) == sig;
      const std::string got = slurp(target);
      EXPECT_TRUE(got == versions[0] || got == versions[1]) << sig << ": " << got.substr(0, got.find('\n'));
      EXPECT_TRUE(sig != SIGTERM || entries(work.path) == 1) << "a temporary is left";
      for (const auto& e : fs::directory_iterator(work.path)) e.path() != target && fs::remove(e.path());
    }
    EXPECT_GT(landed, 0) << "every run of signal " << sig << " ended before it";
  }
}

// Writers install whole versions, editors switch the first line between
// two heads; a reader watching the target never sees anything else.
TEST(Crash, RacingWritersAndEditorsNeverShowAPartialFile) {
  ScratchDir work;
  const std::string target = work.path + "/t";
  std::set<std::string> whole;
  for (const char* head : {"head A\n", "head B\n"}) {
    for (int v : {0, 1}) {
      whole.insert(version(head, v, 256 << 10));
    }
  }
  std::ofstream(target, std::ios::binary) << *whole.begin();
  std::atomic<bool> done = false;
  std::atomic<int> partial = 0;
  std::thread reader([&] {
    while (!done) partial += !whole.contains(slurp(target));
  });
  std::vector<std::thread> agents;
  for (int a = 0; a < 4; ++a) {
    agents.emplace_back([&, a] {
      for (int i = 0; i < 6; ++i) {
        const std::string in = a < 2 ? request("write", agent_path(target), "\"content\":" + text(version("head A\n", a, 256 << 10)))
                                     : request("edit", agent_path(target), a == 2 ? R"("oldString":"head A","newString":"head B")" : R"("oldString":"head B","newString":"head A")");
        const AgentResult r = run_agent({.input = in});
        EXPECT_EQ(r.exit_status, 0) << r.err;
      }
    });
  }
  for (std::thread& t : agents) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(partial, 0);
  EXPECT_TRUE(whole.contains(slurp(target)));
  EXPECT_EQ(entries(work.path), 1u) << "a temporary is left";
}

// A file size limit below the new content's: the write fails, and the
// agent answers instead of dying of SIGXFSZ.
TEST(Crash, FileSizeLimitBelowTheContentIsAnErrorResponse) {
  if (agent_is_windows()) GTEST_SKIP() << "POSIX resource limits";
  ScratchDir work;
  std::ofstream(work.path + "/t") << "old";
  const AgentResult r =
      run_agent({.input = request("write", work.path + "/t", "\"content\":" + text(std::string(4096, 'a'))), .file_size_limit = 1024});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 0);
  const std::string head = R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
                           R"("totalBytes":null,"data":null,"error":"writing remote temporary )" + work.path + "/.t.brevok-file-agent-";
  EXPECT_TRUE(r.out.starts_with(head) && std::regex_match(r.out.substr(head.size()), std::regex("[0-9]+-[0-9]+\"\\}\n"))) << r.out;
  EXPECT_EQ(entries(work.path), 1u) << "a temporary is left";
  EXPECT_EQ(slurp(work.path + "/t"), "old");
}

}  // namespace
}  // namespace brevok::testing
