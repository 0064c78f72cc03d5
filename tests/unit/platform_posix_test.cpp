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

// A file given the permissions of `old`: as root, all of them (owner 65534);
// as a user who can keep neither root's owner nor (group 0) its group, no
// set-id bits, and the group bits only with the group.
TEST(PosixPermissions, AreTheOldFilesAsFarAsTheyCanBeKept) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  Scratch d;
  ASSERT_EQ(::chmod(d.path().c_str(), 0777), 0);
  struct Row { unsigned owner, group, mode; std::string acl = ""; unsigned user = 0, kept = 0; };
  for (const Row& r : {Row{65534, 65534, 0640}, {65534, 65534, 0444}, {65534, 65534, 02750}, {65534, 65534, 04755},
                       {65534, 65534, 06711}, {65534, 65534, 0640, "u:65534:r,g:65534:rw,m::r"},
                       {0, 0, 06775, "", 65534, 0705}, {0, 65534, 06775, "", 65534, 0775}}) {
    const std::string old = d / (std::to_string(r.group) + std::to_string(r.mode) + r.acl), made = old + ".new";
    testing::put(old, "x");
    ASSERT_EQ(::chown(old.c_str(), r.owner, r.group) | ::chmod(old.c_str(), r.mode), 0);
    ASSERT_TRUE(r.acl.empty() || std::system(("setfacl -m " + r.acl + " " + old).c_str()) == 0);
    EXPECT_EQ(in_child([&] {
      const unsigned u = r.user;  // 0: stay root
      if (u && (::setgroups(0, nullptr) || ::setresgid(u, u, u) || ::setresuid(u, u, u))) return 2;
      auto meta = os.stat(old);
      auto fd = os.create_exclusive(made);
      return meta && fd && os.set_permissions(*fd, *meta) ? 0 : 1;
    }), 0);
    auto expected = r.user ? std::tuple(r.kept, 65534u, 65534u, std::string()) : perms(old);
    EXPECT_EQ(perms(made), expected) << std::oct << r.mode << " " << r.acl;
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
  const std::string want = std::to_string(nr) + " ";
  const std::string proc = "/proc/self/task/" + std::to_string(::gettid()) + "/syscall";
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
