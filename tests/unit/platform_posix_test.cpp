// The POSIX platform layer on the real file system and real descriptors.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "platform.h"
#include "scratch.h"

namespace brevok {
namespace {

using testing::Scratch;
Platform& os = native_platform();
// Mode, owner, group and access list, as the system reports them.
auto perms(const std::string& path) {
  struct stat st{};
  char acl[256];
  const ssize_t n = ::stat(path.c_str(), &st) ? -1 : ::getxattr(path.c_str(), "system.posix_acl_access", acl, 256);
  return std::tuple(st.st_mode & 07777, st.st_uid, st.st_gid, std::string(acl, n < 0 ? 0 : std::size_t(n)));
}
// A fresh temporary given the permissions of `old`, as an install does.
bool carry(const std::string& old, const std::string& path) {
  auto meta = os.stat(old);
  auto fd = os.create_exclusive(path);
  return meta && fd && os.set_permissions(*fd, *meta);
}
// What `f` returns in a child process; -1 when an alarm ended it blocked.
int in_child(auto f) {
  if (::fork() == 0) ::signal(SIGALRM, SIG_DFL), ::alarm(20), _exit(f());
  int status = 0;
  return ::wait(&status), WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PosixTemporary, IsTheOwnersAloneWhateverTheUmask) {
  Scratch d;
  for (mode_t mask : {0, 022, 077}) {
    const mode_t old = ::umask(mask);
    auto fd = os.create_exclusive(d / std::to_string(mask));
    ::umask(old);
    EXPECT_EQ(fd ? std::get<0>(perms(d / std::to_string(mask))) : 0, 0600u) << "umask " << mask;
  }
}

// As root: the old file's owner, group, mode and access list. As a user who
// can keep neither root's owner nor (group 0) its group: no set-id bits, and
// the group bits only with the group.
TEST(PosixPermissions, AreTheOldFilesAsFarAsTheyCanBeKept) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  Scratch d;
  auto put = [&](const std::string& path, unsigned owner, unsigned group, unsigned mode) {
    testing::put(path, "x");
    return ::chown(path.c_str(), owner, group) | ::chmod(path.c_str(), mode) | ::chmod(d.path().c_str(), 0777);
  };
  for (std::string acl : {"", "u:65534:r,g:65534:rw,m::r"}) {
    for (unsigned mode : {0640, 0444, 02750, 04755, 06711}) {
      const std::string old = d / ("old" + acl), made = d / (std::to_string(mode) + acl);
      ASSERT_EQ(put(old, 65534, 65534, mode), 0);
      ASSERT_TRUE(acl.empty() || std::system(("setfacl -m " + acl + " " + old).c_str()) == 0);
      ASSERT_TRUE(carry(old, made));
      EXPECT_EQ(perms(made), perms(old)) << acl;
    }
  }
  for (auto [group, mode] : {std::pair{0u, 0705u}, {65534u, 0775u}}) {
    const std::string old = d / ("root" + std::to_string(group)), made = old + ".new";
    ASSERT_EQ(put(old, 0, group, 06775), 0);
    EXPECT_EQ(in_child([&] {
      return !::setgroups(0, nullptr) && !::setresgid(65534, 65534, 65534) && !::setresuid(65534, 65534, 65534) &&
             carry(old, made);
    }), 1);
    EXPECT_EQ(perms(made), std::tuple(mode, 65534u, 65534u, std::string())) << "group " << group;
  }
}

// What stat_handle tells of what open_read opened: 1 a plain file, 3 one of exact size.
TEST(PosixOpenRead, NeverWaitsAndTellsWhatItOpened) {
  Scratch d;
  testing::put(d / "f", "12345");
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
  for (auto [path, seen] : {std::pair<std::string, int>{d / "f", 3}, {"/proc/self/status", 1}, {d / "fifo", 0}}) {
    EXPECT_EQ(in_child([&] {
      auto meta = os.stat_handle(os.open_read(path).value_or(-1));
      return meta ? meta->is_regular * (1 + 2 * meta->size_exact) : 9;
    }), seen) << path;
  }
}

std::string outcome(const auto& r) { return r ? "done" : r.error().full(); }

// Refused before the system could cut the path short at the NUL.
TEST(PosixPaths, WithANulAreRefused) {
  Scratch d;
  testing::put(d / "a", "x");
  const std::string nul = d / std::string("a\0b", 3);
  for (const std::string& r : {outcome(os.stat(nul)), outcome(os.create_directories(nul)),
                               outcome(os.create_exclusive(nul)), outcome(os.open_read(nul)),
                               outcome(os.remove_file(nul)), outcome(os.rename_replace(nul, d / "c")),
                               outcome(os.rename_replace(d / "a", nul)), outcome(os.sync_directory(nul))}) {
    EXPECT_EQ(r, std::strerror(EINVAL));
  }
}

volatile std::sig_atomic_t g_interrupted = 0;
// Once this thread is blocked in system call `nr`, another thread interrupts
// it with a signal that restarts nothing, then does `then`.
std::thread interrupt_blocked(long nr, auto then) {
  struct sigaction act{};
  act.sa_handler = [](int) { g_interrupted = 1; };
  ::sigaction(SIGALRM, &act, nullptr);
  g_interrupted = 0;
  const std::string proc = "/proc/self/task/" + std::to_string(::gettid()) + "/syscall", want = std::to_string(nr) + " ";
  return std::thread([=, self = ::pthread_self()] {
    for (std::string s; !s.starts_with(want); std::this_thread::yield()) std::getline(std::ifstream(proc), s);
    ::pthread_kill(self, SIGALRM);
    while (g_interrupted == 0) std::this_thread::yield();
    then();
  });
}

TEST(PosixBlockedCalls, AreResumedAfterAnInterruption) {
  int in[2], out[2], saved = ::dup(0);
  char buf[4096];
  ASSERT_TRUE(::pipe(in) == 0 && ::dup2(in[0], 0) == 0 && ::pipe2(out, O_NONBLOCK) == 0);
  std::thread t = interrupt_blocked(SYS_read, [&] { EXPECT_EQ(::write(in[1], "late", 4), 4); });
  auto n = os.read_stdin(buf, sizeof buf);
  t.join();
  ::dup2(saved, 0);
  EXPECT_EQ(n ? std::string(buf, *n) : n.error().full(), "late");

  const auto room = std::size_t(::write(out[1], std::string(1 << 20, 'f').data(), 1 << 20));  // now full
  ASSERT_TRUE(::fcntl(out[0], F_SETFL, 0) == 0 && ::fcntl(out[1], F_SETFL, 0) == 0);
  std::string got;
  t = interrupt_blocked(SYS_write, [&] {
    for (ssize_t k; (k = ::read(out[0], buf, sizeof buf)) > 0;) got.append(buf, std::size_t(k));
  });
  auto r = os.write_all(out[1], "last", 4);
  ::close(out[1]);
  t.join();
  EXPECT_EQ(r ? got.substr(std::min(room, got.size())) : r.error().full(), "last");
}

}  // namespace
}  // namespace brevok
