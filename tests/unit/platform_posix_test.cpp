// The POSIX platform layer on the real file system and real descriptors.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform.h"
#include "scratch.h"

namespace brevok {
namespace {

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
std::string outcome(const auto& r) { return r ? "done" : r.error().full(); }
int g_pipe[2];  // reached by the signal handlers below
// Interrupts this thread once it waits in the kernel function `wait` (by name, not by system call number, which
// an emulator running the test would not show): `handler` runs after the call was interrupted.
std::thread interrupt_blocked(const char* wait, void (*handler)(int)) {
  struct sigaction act{};
  act.sa_handler = handler;
  ::sigaction(SIGALRM, &act, nullptr);
  const std::string task = "/proc/self/task/" + std::to_string(::gettid()) + "/wchan";
  return std::thread([task, wait, self = ::pthread_self()] {
    for (std::string s; !s.contains(wait);) std::getline(std::ifstream(task), s);
    ::pthread_kill(self, SIGALRM);
  });
}

// A temporary is its owner's alone whatever the umask, then gets as much of the old file's permissions as is kept.
TEST(PosixPermissions, AreTheOwnersAloneThenTheOldFilesAsFarAsTheyCanBeKept) {
  testing::Scratch d;
  for (mode_t mask : {0, 022, 077}) {
    const mode_t old = ::umask(mask);
    const bool made = os.create_exclusive(d / std::to_string(mask)).has_value();
    ::umask(old);
    EXPECT_TRUE(made);
    EXPECT_EQ(std::get<0>(perms(d / std::to_string(mask))), 0600u) << mask;
  }
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(::chmod(d.path().c_str(), 0777), 0);  // for the rows with `kept`: 65534 given root's file's permissions
  struct Row { unsigned mode; std::string acl = ""; unsigned group = 65534, kept = 0; };
  for (const Row& r : {Row{0640}, {0444}, {02750}, {04755}, {06711}, {0640, "u:65534:r,g:65534:rw,m::r"},
                       {06775, "", 0, 0705}, {06775, "", 65534, 0775}}) {
    const std::string old = d / (std::to_string(r.mode) + r.acl + std::to_string(r.group)), made = old + ".new";
    testing::put(old, "x");
    ASSERT_EQ(::chown(old.c_str(), r.kept ? 0 : 65534, r.group) | ::chmod(old.c_str(), r.mode), 0);
    ASSERT_TRUE(r.acl.empty() || std::system(("setfacl -m " + r.acl + " " + old).c_str()) == 0);
    EXPECT_EQ(in_child([&, u = 65534u] {
      if (r.kept && (::setgroups(0, nullptr) || ::setresgid(u, u, u) || ::setresuid(u, u, u))) return 2;
      auto fd = os.create_exclusive(made);
      return fd && os.set_permissions(*fd, os.stat(old).value_or(FileMeta{})) ? 0 : 1;
    }), 0);
    EXPECT_EQ(perms(made), r.kept ? std::tuple(r.kept, 65534u, 65534u, std::string()) : perms(old)) << old;
  }
}

// What stat_handle tells of what open_read opened: 1 a plain file, 3 one of exact size.
TEST(PosixOpenRead, NeverWaitsAndTellsWhatItOpened) {
  testing::Scratch d;
  const std::string fifo = d / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (auto [path, seen] : {std::pair<std::string, int>{"/proc/self/exe", 3}, {"/proc/self/status", 1}, {fifo, 0}}) {
    EXPECT_EQ(in_child([&] {
      auto meta = os.stat_handle(os.open_read(path).value_or(-1));
      return meta ? meta->is_regular * (1 + 2 * meta->size_exact) : 9;
    }), seen) << path;
  }
}

// The temporary's name is taken only where nothing, not even a dangling link, stands; and a directory's default
// access list never reaches a file that replaces one without a list.
TEST(PosixCreate, IsExclusiveAndInheritsNoDefaultAccessList) {
  testing::Scratch d;
  testing::put(d / "f", "x");
  ASSERT_EQ(::symlink((d / "nowhere").c_str(), (d / "link").c_str()), 0);
  EXPECT_EQ(outcome(os.create_exclusive(d / "f")), std::strerror(EEXIST));
  EXPECT_EQ(outcome(os.create_exclusive(d / "link")), std::strerror(EEXIST));
  EXPECT_EQ(testing::get(d / "f"), "x");
  EXPECT_EQ(testing::get(d / "nowhere"), std::nullopt);
  if (std::system(("setfacl -d -m u:65534:rwx " + d.path() + " 2>/dev/null").c_str())) GTEST_SKIP() << "no setfacl";
  auto fd = os.create_exclusive(d / "new");
  EXPECT_EQ(outcome(os.set_permissions(fd.value_or(-1), os.stat(d / "f").value_or(FileMeta{}))), "done");
  os.close(fd.value_or(-1));
  EXPECT_EQ(perms(d / "new"), perms(d / "f"));
}

TEST(PosixPaths, WithANulAreRefused) {
  testing::Scratch d;
  const std::string nul = d / std::string("a\0b", 3);
  for (const std::string& r : {outcome(os.stat(nul)), outcome(os.create_directories(nul)),
                               outcome(os.create_exclusive(nul)), outcome(os.open_read(nul)),
                               outcome(os.remove_file(nul)), outcome(os.rename_replace(nul, d / "c")),
                               outcome(os.rename_replace(d / "a", nul)), outcome(os.sync_directory(nul))}) {
    EXPECT_EQ(r, std::strerror(EINVAL));
  }
}

TEST(PosixBlockedCalls, AreResumedAfterAnInterruption) {
  int *p = g_pipe, saved = ::dup(0);
  char buf[8];
  ASSERT_TRUE(!::pipe(p) && ::dup2(p[0], 0) == 0);
  std::thread t = interrupt_blocked("pipe_read", [](int) { [[maybe_unused]] auto n = ::write(g_pipe[1], "late", 4); });
  auto n = os.read_stdin(buf, sizeof buf);
  t.join();
  EXPECT_EQ(n ? std::string(buf, *n) : n.error().full(), "late");
  ASSERT_TRUE(::dup2(saved, 0) == 0 && !::fcntl(p[0], F_SETFL, O_NONBLOCK) && !::fcntl(p[1], F_SETFL, O_NONBLOCK));
  while (::write(p[1], buf, sizeof buf) > 0) {}  // until the pipe is full
  ASSERT_EQ(::fcntl(p[1], F_SETFL, 0), 0);
  t = interrupt_blocked("pipe_write", [](int) { for (char all[4096]; ::read(g_pipe[0], all, sizeof all) > 0;) {} });
  auto r = os.write_all(p[1], "last", 4);
  t.join();
  EXPECT_EQ(r ? std::string(buf, std::size_t(std::max(::read(p[0], buf, 8), ssize_t(0)))) : r.error().full(), "last");
}

}  // namespace
}  // namespace brevok
