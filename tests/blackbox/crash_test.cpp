// Agents killed while they write, and agents racing on one file: the target
// always holds one whole version, never a mixture or a truncated file.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <thread>
#include "agent_process.h"

namespace brevok::testing {
namespace {

// Pieces naming the version and their own offset: a piece of one version
// inside another shows, and so does a cut, as the sizes differ.
std::string version(const std::string& head, int v, std::size_t size) {
  std::string s = head;
  while (s.size() < size + v * 4099u) s += "version " + std::to_string(v) + " at " + std::to_string(s.size()) + ";";
  return s;
}
std::string request(const std::string& op, const std::string& members) {  // on "t" in the working directory
  return R"({"protocol":1,"operation":")" + op + R"(","path":"t",)" + members + "}";
}

// Every signal that ends the agent and can be caught removes the temporary first; SIGKILL cannot be caught. The
// real-time ones are checked from SIGRTMIN + 2, the lowest an emulator that keeps two for itself passes on. On
// Windows the temporary is pending deletion until its rename, so that the system removes it however the agent ends.
TEST(Crash, KilledWriterLeavesOneWholeVersion) {
  const bool windows = agent_is_windows();
  const auto settled = [&](const std::string& dir) {  // Wine's server closes a killed process's files a moment later
    for (int i = 0; windows && entries(dir) > 1 && i < 300; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return entries(dir);
  };
  const rlimit no_core{0, 0};  // nor a core file beside the target
  ASSERT_EQ(::setrlimit(RLIMIT_CORE, &no_core), 0);
  Scratch work, io;
  const std::string target = work / "t", old = version("", 0, 4 << 20), now = version("", 1, 4 << 20);
  put(io / "r", request("write", R"("content":")" + now + '"'));
  for (int sig : windows ? std::vector<int>{SIGKILL, SIGTERM}
                         : std::vector<int>{SIGKILL, SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                            SIGVTALRM, SIGPROF, SIGXCPU, SIGIO, SIGPWR, SIGSTKFLT, SIGRTMIN + 2, SIGRTMAX}) {
    bool landed = false;
    for (int round = 0; round < 4 && !landed; ++round) {
      put(target, old);
      const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC), in = ::open((io / "r").c_str(), O_RDONLY | O_CLOEXEC);
      const pid_t pid = spawn_agent({.cwd = work.path()}, in, null, null);
      ::close(in), ::close(null);
      int status = 0, sent = 0;  // sent once the temporary shows: the agent is at work on it
      for (bool reaped = false; !reaped; reaped = ::waitpid(pid, &status, WNOHANG) == pid) {
        if (!sent && entries(work.path()) > 1) {
          // On Windows not in the instant between the temporary's creation and its disposition.
          if (windows) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          sent = ::kill(pid, sig) == 0;
        }
      }
      landed = sent && (windows || (WIFSIGNALED(status) && WTERMSIG(status) == sig));
      const std::string got = get(target).value_or("");
      EXPECT_TRUE(got == old || got == now) << got.size() << " bytes after signal " << sig;
      EXPECT_TRUE((sig == SIGKILL && !windows) || settled(work.path()) == 1) << "a temporary is left after " << sig;
      for (const auto& e : std::filesystem::directory_iterator(work.path())) e.path() != target && remove(e.path());
    }
    EXPECT_TRUE(landed) << "every run ended before signal " << sig;
  }
}

// Writers install whole versions, editors switch the head; a reader
// watching the target never sees anything else.
TEST(Crash, RacingWritersAndEditorsNeverShowAPartialFile) {
  Scratch work;
  const std::string v[4] = {version("A;", 0, 1 << 18), version("A;", 1, 1 << 18), version("B;", 0, 1 << 18),
                            version("B;", 1, 1 << 18)};
  put(work / "t", v[0]);
  std::atomic<int> partial = 0, ok = 0, done = 0;
  std::thread reader([&] { for (; !done; partial += std::ranges::count(v, get(work / "t").value_or("")) == 0) {} });
  std::vector<std::thread> agents;
  for (const std::string& in : {request("write", R"("content":")" + v[0] + '"'),
                                request("write", R"("content":")" + v[1] + '"'),
                                request("edit", R"("oldString":"A;","newString":"B;")"),
                                request("edit", R"("oldString":"B;","newString":"A;")")}) {
    agents.emplace_back([&, in] {
      for (int i = 0; i < 6; ++i) ok += run_agent({.input = in, .cwd = work.path()}).out.contains(R"("ok":true)");
    });
  }
  for (std::thread& agent : agents) agent.join();
  done = 1;
  reader.join();
  EXPECT_EQ(partial, 0);
  EXPECT_GT(ok, 0);
  EXPECT_EQ(entries(work.path()), 1) << "a temporary is left";
}

}  // namespace
}  // namespace brevok::testing
