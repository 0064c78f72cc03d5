// Crash consistency: agents writing several MiB to one target are killed
// with SIGKILL at random moments, again and again. After every kill the
// target must hold exactly one complete version, the one before or the one
// being written, never a mixture or a truncated file. A killed agent may
// leave its temporary behind; those are counted and removed here.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_process.h"

namespace brevok::testing {
namespace {

constexpr int kKills = 200;
constexpr std::size_t kVersionBytes = std::size_t(4) << 20;

// Starts the agent with the given descriptors as its standard streams.
pid_t spawn_agent(int in_fd, int out_fd, int err_fd) {
  AgentArgv argv;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    argv.exec();
  }
  return pid;
}

// The whole file, read with plain system calls: read_file's streams take
// longer than a run of the agent for a file of this size.
std::string slurp(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  struct stat st;
  if (::fstat(fd, &st) == 0) out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == out.size()) out.resize(out.size() * 2 + 4096);
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return out;
}

// Version v: lines that name the version and their own offset, so that any
// two versions differ throughout and a piece of one inside another shows.
// The sizes differ too.
std::string make_version(int v) {
  std::string s;
  s.reserve(kVersionBytes + 4096);
  char line[64];
  while (s.size() < kVersionBytes + static_cast<std::size_t>(v) * 4099) {
    int n = std::snprintf(line, sizeof line, "version %d at %zu\n", v, s.size());
    s.append(line, static_cast<std::size_t>(n));
  }
  return s;
}

std::string describe(const std::string& got, const std::vector<std::string>& versions) {
  std::string out = "target of ";
  out += std::to_string(got.size());
  out += " bytes, starting '";
  out += got.substr(0, got.find('\n'));
  out += "'; versions have";
  for (const auto& v : versions) {
    out += ' ';
    out += std::to_string(v.size());
  }
  return out;
}

// A directory in memory where the system has one: a SIGKILL leaves the page
// cache as it is, so what the test checks is the same as on a disk, while
// the agents' syncs cost nothing and the 200 kills take seconds.
class WorkDir {
 public:
  WorkDir() {
    std::string templ = "/dev/shm/brevok-crash-XXXXXX";
    if (::access("/dev/shm", W_OK) == 0 && ::mkdtemp(templ.data()) != nullptr) {
      path_ = templ;
    } else {
      fallback_.emplace();
      path_ = fallback_->path();
    }
  }
  ~WorkDir() {
    if (fallback_) return;
    for (const std::string& name : list_dir(path_)) ::unlink((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::optional<ScratchDir> fallback_;
  std::string path_;
};

struct Timer {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  double micros() const {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  }
};

TEST(CrashConsistency, KilledWritersLeaveOneCompleteVersion) {
  if (agent_is_windows()) GTEST_SKIP() << "kills POSIX processes";
  WorkDir work;   // the target and nothing else, so temporaries show
  WorkDir input;  // requests and captured output
  const std::string target = work / "big.dat";

  std::vector<std::string> versions;
  for (int v = 0; v < 4; ++v) versions.push_back(make_version(v));
  write_file(target, versions[0]);
  std::vector<std::string> requests;
  for (int v = 0; v < 4; ++v) {
    requests.push_back(input / ("request-" + std::to_string(v)));
    write_file(requests.back(), "{\"protocol\":1,\"operation\":\"write\",\"path\":" + json_string(agent_path(target)) +
                                    ",\"content\":" + json_string(versions[v]) + "}");
  }
  const std::string out_path = input / "out";
  const std::string err_path = input / "err";

  std::random_device rd;
  const unsigned seed = rd();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));

  std::string current = versions[0];
  int current_version = 0;
  // The kill delay adapts to how long a run takes on this machine: it
  // shrinks whenever an agent finished before its kill, so that most kills
  // land while the agent is at work.
  double max_delay_us = 0;
  int kills = 0, finished = 0, orphans = 0, iterations = 0;
  while (kills < kKills && iterations < 10 * kKills) {
    ++iterations;
    int next = (current_version + 1 + static_cast<int>(rng() % 3)) % 4;
    int in_fd = ::open(requests[next].c_str(), O_RDONLY | O_CLOEXEC);
    int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(in_fd, 0);
    ASSERT_GE(out_fd, 0);
    ASSERT_GE(err_fd, 0);
    Timer timer;
    pid_t pid = spawn_agent(in_fd, out_fd, err_fd);
    ASSERT_GT(pid, 0);
    ::close(in_fd);
    ::close(out_fd);
    ::close(err_fd);

    int status = 0;
    if (max_delay_us == 0) {
      // The first run is left alone: it measures a whole run.
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      max_delay_us = timer.micros() * 1.2;
    } else {
      auto delay = static_cast<long>(std::uniform_real_distribution<double>(0, max_delay_us)(rng));
      timespec ts{delay / 1000000, (delay % 1000000) * 1000};
      ::nanosleep(&ts, nullptr);
      ::kill(pid, SIGKILL);
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }

    std::string got = slurp(target);
    bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    if (killed) {
      ++kills;
      max_delay_us *= 1.02;
      ASSERT_TRUE(got == current || got == versions[next])
          << "after kill " << kills << ": " << describe(got, versions);
    } else {
      ++finished;
      max_delay_us *= 0.8;
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
      ASSERT_EQ(WEXITSTATUS(status), 0) << read_file(err_path);
      ASSERT_EQ(read_file(out_path),
                "{\"protocol\":1,\"ok\":true,\"operation\":\"write\",\"replacements\":0,\"bytes\":" +
                    std::to_string(versions[next].size()) +
                    ",\"binary\":false,\"totalBytes\":null,\"data\":null,\"error\":null}\n");
      ASSERT_TRUE(got == versions[next]) << "after a completed write: " << describe(got, versions);
    }
    if (got == versions[next]) current_version = next;
    current = std::move(got);

    for (const std::string& name : list_dir(work.path())) {
      if (name == "big.dat") continue;
      ASSERT_NE(name.find(".big.dat.brevok-file-agent-"), std::string::npos) << "stray file " << name;
      ++orphans;
      ASSERT_EQ(::unlink((work / name).c_str()), 0);
    }
  }
  std::cout << "[ crash    ] " << kills << " kills, " << finished << " runs finished before their kill, " << orphans
            << " orphaned temporaries removed\n";
  RecordProperty("kills", kills);
  RecordProperty("orphaned_temporaries", orphans);
  EXPECT_EQ(kills, kKills);
}

// What ends an agent politely (a dropped ssh connection sends SIGHUP) ends
// it by that same signal, but not before its temporary is gone. The signal
// is sent once the temporary has been seen; a run that finished first is
// tried again.
TEST(CrashConsistency, EndingSignalsRemoveTheTemporaryFirst) {
  if (agent_is_windows()) GTEST_SKIP() << "POSIX signals";
  WorkDir work;
  WorkDir input;
  const std::string target = work / "big.dat";
  const std::string request = input / "request";
  const std::string big = make_version(1) + make_version(2) + make_version(3);
  write_file(target, make_version(0));
  write_file(request, "{\"protocol\":1,\"operation\":\"write\",\"path\":" + json_string(agent_path(target)) +
                          ",\"content\":" + json_string(big) + "}");
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    bool landed = false;
    for (int attempt = 0; attempt < 50 && !landed; ++attempt) {
      int in_fd = ::open(request.c_str(), O_RDONLY | O_CLOEXEC);
      int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
      pid_t pid = spawn_agent(in_fd, null_fd, null_fd);
      ::close(in_fd);
      ::close(null_fd);
      int status = 0;
      bool sent = false, reaped = false;
      while (!sent && !reaped) {
        if (list_dir(work.path()).size() > 1) sent = ::kill(pid, sig) == 0;
        reaped = ::waitpid(pid, &status, WNOHANG) == pid;
      }
      if (!reaped) {
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      }
      // A signal that came after the agent had finished changes nothing.
      landed = sent && WIFSIGNALED(status);
      if (landed) {
        EXPECT_EQ(WTERMSIG(status), sig);
      } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
      }
      EXPECT_EQ(list_dir(work.path()), std::vector<std::string>{"big.dat"});
      const std::string got = slurp(target);
      EXPECT_TRUE(got == big || got == make_version(0)) << describe(got, {make_version(0), big});
    }
    EXPECT_TRUE(landed) << "every run ended before its temporary was seen";
  }
}

}  // namespace
}  // namespace brevok::testing
