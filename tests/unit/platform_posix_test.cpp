// The POSIX platform layer on the real file system and real descriptors.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <csignal>
#include <cstring>
#include <fstream>
#include <numeric>
#include <thread>

#include "operations.h"
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
// The calls on a name in a directory, given a whole path.
struct At {
  explicit At(const std::string& path)
      : dir(os.open_directory(path.substr(0, path.rfind('/')), DirectoryWalk::kExisting).value_or(-1)),
        name(path.substr(path.rfind('/') + 1)) {}
  ~At() { os.close_directory(dir); }
  DirHandle dir;
  std::string name;
};
const FileMeta kOld;  // any file to replace: the temporary starts private
Result<FileHandle> create(const std::string& path, const FileMeta* a) {
  At at(path);
  return os.create_exclusive_at(at.dir, at.name, a);
}
Result<FileMeta> stat(const std::string& path, NameUse use = NameUse::kRead) {
  At at(path);
  return os.stat_at(at.dir, at.name, use);
}
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

// A temporary for a replacement is its owner's alone whatever the umask; one for a new file is as a plain creation
// makes it, under the umask or the directory's default access list. Then the replacement gets as much of the old
// file's permissions as is kept.
TEST(PosixPermissions, AreTheOwnersAloneThenTheOldFilesAsFarAsTheyCanBeKept) {
  testing::Scratch d;
  ASSERT_EQ(::mkdir((d / "acl").c_str(), 0777), 0);
  const bool acls = std::system(("setfacl -d -m g:65534:rwx,o::- " + d / "acl").c_str()) == 0;
  for (const std::string& dir : {d.path(), d / "acl"}) {
    for (mode_t mask : {0, 022, 077}) {
      const std::string p = dir + "/" + std::to_string(mask);
      const mode_t old = ::umask(mask);
      const bool made = create(p + "p", &kOld) &&
                        create(p + "n", nullptr);
      ::close(::open((p + "o").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
      ::umask(old);
      EXPECT_TRUE(made) << p;
      EXPECT_EQ(std::get<0>(perms(p + "p")), 0600u) << p;
      EXPECT_EQ(perms(p + "n"), perms(p + "o")) << p;
    }
  }
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(::chmod(d.path().c_str(), 0777), 0);  // for the rows replaced by 65534
  // The old file's mode, access list, owner and group; whether 65534, in 300 groups (10000 to 10299), replaces it
  // rather than root; where the new file differs from the old: its mode and access list, owner and group 65534.
  struct Row {
    unsigned mode;
    std::string acl = "";
    unsigned owner = 65534, group = 65534, nobody = 0, want = 0;
    std::string want_acl = "";
  };
  bool skipped = false;
  int i = 0;
  for (const Row& r : {Row{0640}, {0444}, {02750}, {04755}, {06711}, {0640, "u:65534:r,g:65534:rw,m::r"},
                       {06775, "", 0, 0, 1, 0705}, {06775, "", 0, 65534, 1, 0775}, {06775, "", 65534, 65534, 1},
                       {02775, "", 65534, 10299, 1},
                       {0660, "u:1234:rw,g:1235:r,m::rw", 65534, 0, 1, 0660,
                        "u::rw,u:1234:rw,g::-,g:1235:r,m::rw,o::-"}}) {
    const std::string old = d / std::to_string(++i), made = old + ".new", want = old + ".want";
    if (!acls && !r.acl.empty()) { skipped = true; continue; }
    testing::put(old, "x"), testing::put(want, "");
    ASSERT_FALSE(::chown(old.c_str(), r.owner, r.group) || ::chmod(old.c_str(), r.mode));
    ASSERT_FALSE(::chown(want.c_str(), 65534, 65534) || ::chmod(want.c_str(), r.want));
    ASSERT_TRUE(r.acl.empty() || std::system(("setfacl -m " + r.acl + " " + old).c_str()) == 0);
    ASSERT_TRUE(r.want_acl.empty() || std::system(("setfacl --set " + r.want_acl + " " + want).c_str()) == 0);
    EXPECT_EQ(in_child([&, u = 65534u] {
      std::vector<gid_t> groups(300);
      std::iota(groups.begin(), groups.end(), 10000);
      if (r.nobody && (::setgroups(300, groups.data()) || ::setresgid(u, u, u) || ::setresuid(u, u, u))) return 2;
      const FileMeta m = stat(old, NameUse::kReplace).value_or(FileMeta{});
      auto fd = create(made, &kOld);
      if (!fd || !os.set_permissions(*fd, -1, "", m)) return 1;
      if (auto now = os.stat_handle(*fd); !now || now->permissions & 06000) return 3;  // set-id before the last byte
      return os.write_all(*fd, "y", 1) && os.restore_set_id(*fd, m) ? 0 : 1;
    }), 0) << old;
    EXPECT_EQ(perms(made), perms(r.want ? want : old)) << old;
  }
  if (const std::string f = d / "edited"; acls) {  // an edit keeps the list of the file it examined
    testing::put(f, "a");
    ASSERT_EQ(std::system(("setfacl -m u:1234:r " + f).c_str()), 0);
    const auto before = perms(f);
    FileAgentRequest r;
    r.protocol = 1, r.operation = "edit", r.path = f, r.old_string = "a";
    EXPECT_EQ(outcome(edit_file(os, r)), "done");
    EXPECT_EQ(perms(f), before);
  }
  if (skipped) GTEST_SKIP() << "setfacl is missing or refused: the rows with access lists were not run";
}

// What open_read_at opens, as stat_handle tells: 1 a plain file, 3 one of exact size, 4 more for a descriptor that
// never waits for data; nothing at all (9) for a FIFO, which is refused before any open.
TEST(PosixOpenRead, NeverWaitsAndOpensOnlyRegularFiles) {
  testing::Scratch d;
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
  for (auto [path, seen] : {std::pair<std::string, int>{"/proc/self/exe", 7}, {"/proc/self/status", 5}, {d / "fifo", 9}}) {
    EXPECT_EQ(in_child([&] {
      At at(path);
      auto fd = os.open_read_at(at.dir, at.name, NameUse::kRead);
      auto meta = os.stat_handle(fd.value_or(-1));
      char c;
      if (!meta || !os.read(*fd, &c, 1)) return 9;  // the flag, still set after a read
      return meta->is_regular * (1 + 2 * meta->size_exact) + 4 * !!(::fcntl(int(*fd), F_GETFL) & O_NONBLOCK);
    }), seen) << path;
  }
}

// The temporary's name is taken only where nothing, not even a dangling link, stands; and a directory's default
// access list never reaches a file that replaces one without a list.
TEST(PosixCreate, IsExclusiveAndInheritsNoDefaultAccessList) {
  testing::Scratch d;
  testing::put(d / "f", "x");
  ASSERT_EQ(::symlink((d / "nowhere").c_str(), (d / "link").c_str()), 0);
  EXPECT_EQ(outcome(create(d / "f", nullptr)), std::strerror(EEXIST));
  EXPECT_EQ(outcome(create(d / "link", nullptr)), std::strerror(EEXIST));
  EXPECT_EQ(testing::get(d / "f"), "x");
  EXPECT_EQ(testing::get(d / "nowhere"), std::nullopt);
  if (std::system(("setfacl -d -m u:65534:rwx " + d.path() + " 2>/dev/null").c_str())) GTEST_SKIP() << "no setfacl";
  auto fd = create(d / "new", &kOld);
  EXPECT_EQ(outcome(os.set_permissions(fd.value_or(-1), -1, "", stat(d / "f").value_or(FileMeta{}))), "done");
  os.close(fd.value_or(-1));
  EXPECT_EQ(perms(d / "new"), perms(d / "f"));
}

// Links are followed where only root, the agent's user, or the owner of where they lead could have set them; what
// another user (65534) could have put in the agent's way is refused; a FIFO or device is found but never opened.
TEST(PosixLinks, AreFollowedOnlyWhereNobodyElseCouldRedirectThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  struct Scene { std::string setup, path; int err = 0; NameUse use = NameUse::kRead; };
  const std::string mine = "mkdir u && echo x > f && chown 65534 u && ";  // u: another user's directory
  for (const Scene& s : std::initializer_list<Scene>{
           {mine + "mkdir -m 700 r && echo x > r/f && ln -s $PWD/r u/l && chown -h 65534 u/l", "u/l/f", EACCES},
           {mine + "ln -s $PWD/f u/l && chown -h 65534 u/l", "u/l", EACCES},
           {mine + "mkdir u/own && echo x > u/own/f && ln -s own u/l && chown -hR 65534 u", "u/l/f"},
           {mine + "echo x > u/g && chown 65534 u/g && ln -s u/g l", "l"},
           {mine + "mkdir u/x", "u/x/../../f", EACCES}, {mine + "ln f u/h", "u/h", EACCES},
           {"mkdir -m 1777 t && echo x > t/f && chown 65534 t/f", "t/f", EACCES, NameUse::kReplace},
           {"mkdir -m 1777 t && echo x > t/f && chown 65534 t/f", "t/f"}, {"echo x > f", "/proc/self/root@/f"},
           {"ln -s nowhere l", "l", ENOENT}, {"ln -s l2 l1 && ln -s l1 l2", "l1", ELOOP},
           {"mkfifo p && ln -s p l", "l", ENXIO}, {"ln -s /dev/null l", "l", ENXIO}}) {
    testing::Scratch d;
    ASSERT_EQ(std::system(("cd " + d.path() + " && " + s.setup).c_str()), 0) << s.setup;
    std::string path = s.path.starts_with('/') ? s.path : d / s.path;
    if (const auto at = path.find('@'); at != std::string::npos) path.replace(at, 1, d.path());
    const auto dir = os.open_directory(path.substr(0, path.rfind('/')), DirectoryWalk::kExisting);
    const std::string name = path.substr(path.rfind('/') + 1);
    std::string got = outcome(dir);
    if (auto meta = os.stat_at(dir.value_or(-1), name, s.use); dir && !meta) got = outcome(meta);
    else if (dir && !meta->is_regular) got = outcome(os.open_read_at(*dir, name, s.use));  // refused, never opened
    EXPECT_EQ(got, s.err ? std::strerror(s.err) : "done") << s.setup;
    os.close_directory(dir.value_or(-1));
  }
}

// Directories are created along the path itself, never where a dangling link on it leads.
TEST(PosixLinks, AreNeverCreatedThrough) {
  testing::Scratch d;
  ASSERT_EQ(::symlink((d / "nowhere").c_str(), (d / "l").c_str()), 0);
  EXPECT_EQ(outcome(os.open_directory(d / "l/sub", DirectoryWalk::kCreateMissing)), std::strerror(ENOENT));
  EXPECT_EQ(testing::entries(d.path()), 1);
}

// A path far longer than the system's limit, created, written and found again one component at a time.
TEST(PosixPaths, LongerThanTheSystemsLimitAreReached) {
  testing::Scratch d;
  std::string path = d.path();
  while (path.size() <= 4096) path += "/" + std::string(255, 'd');
  const auto made = os.open_directory(path, DirectoryWalk::kCreateMissing);
  EXPECT_EQ(outcome(made), "done");
  auto fd = os.create_exclusive_at(made.value_or(-1), "f", nullptr);
  EXPECT_EQ(outcome(os.write_all(fd.value_or(-1), "long", 4)), "done");
  os.close(fd.value_or(-1)), os.close_directory(made.value_or(-1));
  const auto found = os.open_directory(path, DirectoryWalk::kExisting);
  EXPECT_EQ(os.stat_at(found.value_or(-1), "f", NameUse::kRead).value_or(FileMeta{}).size, 4u);
  os.close_directory(found.value_or(-1));
  EXPECT_EQ(std::system(("rm -rf " + d.path() + "/d*").c_str()), 0);
}

// An owner's own write-only file: replaced, and read back through the written file's own handle.
TEST(PosixInstall, ReadsBackAFileItsOwnerMayOnlyWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  testing::Scratch d;
  testing::put(d / "f", "old");
  ASSERT_FALSE(::chown(d.path().c_str(), 65534, 65534) || ::chown((d / "f").c_str(), 65534, 65534) ||
               ::chmod((d / "f").c_str(), 0200));
  EXPECT_EQ(in_child([&, u = 65534u] {
    if (::setgroups(0, nullptr) || ::setresgid(u, u, u) || ::setresuid(u, u, u)) return 2;
    FileAgentRequest request;
    request.operation = "write", request.path = d / "f", request.content = "new";
    auto r = write_file(os, request);
    return r ? 0 : (std::fprintf(stderr, "%s\n", r.error().full().c_str()), 1);
  }), 0);
  EXPECT_EQ(testing::get(d / "f"), "new");
  EXPECT_EQ(std::get<0>(perms(d / "f")), 0200u);
}

TEST(PosixPaths, WithANulAreRefused) {
  testing::Scratch d;
  const std::string nul("a\0b", 3);
  At at(d / "a");
  for (const std::string& r : {outcome(os.open_directory(d / nul, DirectoryWalk::kExisting)),
                               outcome(os.open_directory(d / nul, DirectoryWalk::kCreateMissing)),
                               outcome(os.stat_at(at.dir, nul, NameUse::kRead)), outcome(os.stat_entry(at.dir, nul)),
                               outcome(os.open_read_at(at.dir, nul, NameUse::kRead)),
                               outcome(os.create_exclusive_at(at.dir, nul, nullptr)),
                               outcome(os.remove_at(at.dir, -1, nul)), outcome(os.rename_at(at.dir, -1, nul, "c")),
                               outcome(os.rename_at(at.dir, -1, "a", nul))}) {
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
