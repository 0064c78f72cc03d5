// The verified atomic install: every failure with its message, its cause and
// what it leaves on disk (injected through the platform double over the real
// file system), the read-back verification's mismatches, and the behaviour
// of the real file system: modes, links, directories, names.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fault_platform.h"
#include "scratch.h"
#include "remote_fs.h"

namespace brevok {
namespace {

using testing::FaultPlatform;
using testing::Op;
using testing::op_name;

using testing::get;
using testing::put;
using testing::Scratch;

// Names in a directory, sorted, dot files included.
std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

struct stat lstat_of(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

unsigned mode_of(const std::string& path) { return lstat_of(path).st_mode & 07777; }

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 253) & 0xFF);
  return s;
}

std::string fill(std::string text, const std::string& key, const std::string& value) {
  for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  return text;
}

class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskScope() { ::umask(old_); }

 private:
  mode_t old_;
};

constexpr std::uint32_t kPid = 4242;
constexpr std::uint64_t kNow = 99;
const std::string kTempName = ".f.txt.brevok-file-agent-4242-99";
const std::string kOld = "old content\n";
const std::string kNew = "the new content\n";

// A target f.txt with old content and mode 0640 in a scratch directory, and
// the platform double with a fixed process id and clock so that the
// temporary's name is known.
class InstallFixture : public ::testing::Test {
 protected:
  InstallFixture() : fp(native_platform()), target(dir / "f.txt"), temp(dir / kTempName) {
    fp.pid_override = kPid;
    fp.now_override = kNow;
  }
  void make_old_target() {
    put(target, kOld);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  }
  std::optional<FileMeta> existing() {
    auto meta = stat_remote_target(native_platform(), target, true);
    EXPECT_TRUE(meta.has_value());
    return meta ? *meta : std::nullopt;
  }
  std::string expand(const std::string& text) const {
    return fill(fill(fill(text, "{target}", target), "{temp}", temp), "{parent}", dir.path());
  }

  Scratch dir;
  FaultPlatform fp;
  std::string target;
  std::string temp;
};

// --- verification mismatches -------------------------------------------------

enum class Tamper { kNone, kFlip, kAppend, kTruncate };

struct MismatchCase {
  std::string label;
  std::size_t size;
  Tamper tamper;
  std::size_t at;  // the byte flipped, the bytes appended, or the length kept
  std::optional<std::uint64_t> stat_size;
  std::optional<std::size_t> max_read;
  std::string message;
};

void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.label; }

class VerifyMismatch : public InstallFixture, public ::testing::WithParamInterface<MismatchCase> {};

// The installed file read back differs from what was meant (another process
// changed it, or the storage lied): reported without cause, and the install
// is not undone.
TEST_P(VerifyMismatch, IsReportedWithoutCause) {
  const MismatchCase& c = GetParam();
  const std::string content = pattern(c.size);
  std::string seen = content;
  if (c.tamper == Tamper::kFlip) seen[c.at] = static_cast<char>(seen[c.at] ^ 0x5A);
  if (c.tamper == Tamper::kAppend) seen += std::string(c.at, 'x');
  if (c.tamper == Tamper::kTruncate) seen.resize(c.at);
  if (c.tamper != Tamper::kNone) fp.read_replacement = seen;
  fp.stat_size_override = c.stat_size;
  fp.max_read = c.max_read;

  auto r = install_remote_file(fp, target, content, false, std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), fill(c.message, "{target}", target));
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"f.txt"});
  EXPECT_TRUE(get(target) == content);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyMismatch,
    ::testing::Values(
        MismatchCase{"SizeLarger", 10, Tamper::kNone, 0, 11, std::nullopt,
                     "installed remote file size mismatch for {target}: expected 10 bytes, found 11"},
        MismatchCase{"SizeOfEmpty", 0, Tamper::kNone, 0, 1, std::nullopt,
                     "installed remote file size mismatch for {target}: expected 0 bytes, found 1"},
        // The offset is where the failing read began, not the differing byte.
        MismatchCase{"FirstBuffer", 200000, Tamper::kFlip, 65535, std::nullopt, std::nullopt,
                     "installed remote file content mismatch for {target} at byte 0"},
        MismatchCase{"SecondBuffer", 200000, Tamper::kFlip, 100000, std::nullopt, std::nullopt,
                     "installed remote file content mismatch for {target} at byte 65536"},
        MismatchCase{"ThirdBuffer", 200000, Tamper::kFlip, 131072, std::nullopt, std::nullopt,
                     "installed remote file content mismatch for {target} at byte 131072"},
        MismatchCase{"ShortReads", 10000, Tamper::kFlip, 5500, std::nullopt, 1000,
                     "installed remote file content mismatch for {target} at byte 5000"},
        // Grown after the stat: the read that runs past the content fails.
        MismatchCase{"GrewPastFullBuffer", 65536, Tamper::kAppend, 1, std::nullopt, std::nullopt,
                     "installed remote file content mismatch for {target} at byte 65536"},
        MismatchCase{"GrewWithinBuffer", 100, Tamper::kAppend, 4, std::nullopt, std::nullopt,
                     "installed remote file content mismatch for {target} at byte 0"},
        MismatchCase{"GrewFromEmpty", 0, Tamper::kAppend, 1, std::nullopt, std::nullopt,
                     "installed remote file content mismatch for {target} at byte 0"},
        // Shrunk after the stat: the end comes early.
        MismatchCase{"Shrank", 100000, Tamper::kTruncate, 70000, std::nullopt, std::nullopt,
                     "installed remote file length changed during verification for {target}: expected 100000 "
                     "bytes, read 70000"},
        MismatchCase{"ShrankToBufferEdge", 131073, Tamper::kTruncate, 65536, std::nullopt, std::nullopt,
                     "installed remote file length changed during verification for {target}: expected 131073 "
                     "bytes, read 65536"},
        MismatchCase{"ShrankToNothing", 5, Tamper::kTruncate, 0, std::nullopt, std::nullopt,
                     "installed remote file length changed during verification for {target}: expected 5 bytes, "
                     "read 0"}),
    [](const auto& info) { return info.param.label; });

// --- content sizes -------------------------------------------------------------

struct SizeCase {
  std::size_t size;
  int reads;  // verification reads, the final one returning 0
  bool existing;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.size << (c.existing ? " bytes over a file" : " bytes"); }

class InstallSize : public InstallFixture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(InstallSize, InstallsAndVerifiesInBufferSizedReads) {
  const SizeCase& c = GetParam();
  if (c.existing) put(target, pattern(300000));
  std::optional<FileMeta> meta = c.existing ? existing() : std::nullopt;
  const std::string content = pattern(c.size);
  auto r = install_remote_file(fp, target, content, false, meta);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(*r, c.size);
  EXPECT_TRUE(get(target) == content);
  EXPECT_EQ(fp.calls(Op::kRead), c.reads);
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"f.txt"});
}

INSTANTIATE_TEST_SUITE_P(Sizes, InstallSize,
                         ::testing::Values(SizeCase{0, 1, false}, SizeCase{0, 1, true}, SizeCase{1, 2, false},
                                           SizeCase{65535, 2, false}, SizeCase{65536, 2, false},
                                           SizeCase{65537, 3, true}, SizeCase{200000, 5, false}));

// --- modes ---------------------------------------------------------------------

class NewFileMode : public InstallFixture, public ::testing::WithParamInterface<mode_t> {};

// Created for its owner's eyes only, and given its final mode before its
// first byte: nobody may read a new content the old file kept from them.
TEST_P(NewFileMode, IsTheDefaultOfTheUmask) {
  UmaskScope mask(GetParam());
  std::vector<unsigned> seen;
  fp.before_call = [&](Op op) {
    if (op == Op::kSetPermissions || op == Op::kWriteAll) seen.push_back(mode_of(temp));
  };
  auto r = install_remote_file(fp, target, kNew, false, std::nullopt);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(mode_of(target), 0666u & ~GetParam());
  EXPECT_EQ(seen, (std::vector<unsigned>{0600u, 0666u & ~GetParam()}));
}

INSTANTIATE_TEST_SUITE_P(Umasks, NewFileMode, ::testing::Values(mode_t{022}, mode_t{077}, mode_t{002}, mode_t{0}));

struct CarriedCase {
  mode_t mode;
  uid_t owner;  // as root the file belongs to this user; otherwise to us
};

void PrintTo(const CarriedCase& c, std::ostream* os) { *os << std::oct << c.mode << std::dec << " of " << c.owner; }

class CarriedMode : public InstallFixture, public ::testing::WithParamInterface<CarriedCase> {};

// The umask would make the new file 0600; the old file's bits win, and
// root keeps the owner (and so the set-id bits) of someone else's file.
TEST_P(CarriedMode, IsTheOldFilesPermissionBitsAndOwner) {
  UmaskScope mask(077);
  const CarriedCase& c = GetParam();
  const bool root = ::geteuid() == 0;
  put(target, kOld);
  ASSERT_EQ(::chown(target.c_str(), root ? c.owner : ::geteuid(), root ? c.owner : ::getegid()), 0);
  ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
  unsigned at_first_write = 0;
  fp.before_call = [&](Op op) {
    if (op == Op::kWriteAll) at_first_write = mode_of(temp);
  };
  auto r = install_remote_file(fp, target, kNew, false, existing());
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(mode_of(target), c.mode);
  EXPECT_EQ(at_first_write, c.mode);
  EXPECT_EQ(lstat_of(target).st_uid, root ? c.owner : ::geteuid());
  EXPECT_EQ(get(target), kNew);
}

INSTANTIATE_TEST_SUITE_P(Modes, CarriedMode,
                         ::testing::Values(CarriedCase{0640, 0}, CarriedCase{0444, 0}, CarriedCase{0755, 0},
                                           CarriedCase{0666, 0}, CarriedCase{0600, 65534}, CarriedCase{02750, 0},
                                           CarriedCase{04755, 65534}, CarriedCase{06711, 65534}));

// An access list stays exactly as it was: its named entries, and its mask
// as the group bits. A directory's default list gives a file that had none
// nothing more than its mode.
TEST_F(InstallFixture, AccessListIsCarriedAndNoneIsInherited) {
  if (std::system("command -v setfacl >/dev/null 2>&1") != 0) GTEST_SKIP() << "setfacl is missing";
  put(target, kOld);
  ::chmod(target.c_str(), 0640);
  if (std::system(("setfacl -m u:65534:r,g:65534:rw,m::r " + target).c_str()) != 0) {
    GTEST_SKIP() << "the scratch file system keeps no access lists";
  }
  auto acl = [](const std::string& path) {
    char buf[1024];
    ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
  };
  const std::string before = acl(target);
  ASSERT_FALSE(before.empty());
  auto r = install_remote_file(fp, target, kNew, false, existing());
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(acl(target), before);
  EXPECT_EQ(mode_of(target), 0640u);

  const std::string plain = dir / "plain.txt";
  put(plain, kOld);
  ::chmod(plain.c_str(), 0600);
  ASSERT_EQ(std::system(("setfacl -d -m u:65534:rw " + dir.path()).c_str()), 0);
  auto meta = stat_remote_target(native_platform(), plain, false);
  ASSERT_TRUE(meta.has_value());
  auto p = install_remote_file(fp, plain, kNew, false, *meta);
  ASSERT_TRUE(p.has_value()) << p.error().full();
  EXPECT_EQ(acl(plain), "");
  EXPECT_EQ(mode_of(plain), 0600u);
}

// Another writer between an edit's read and its rename: the edit gives way
// rather than undo that writer's change, and leaves nothing behind.
struct ChangeCase {
  std::string label;
  std::function<void(const std::string&)> change;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.label; }

class ConcurrentChange : public InstallFixture, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ConcurrentChange, IsNoticedJustBeforeTheRename) {
  make_old_target();
  auto meta = existing();
  fp.before_call = [&](Op op) {
    if (op == Op::kStat) GetParam().change(target);
  };
  auto r = install_remote_file(fp, target, kNew, false, meta, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "remote file changed during edit: " + target);
  EXPECT_EQ(fp.calls(Op::kRenameReplace), 0);
  EXPECT_EQ(names(dir.path()).size(), GetParam().label == "Removed" ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ConcurrentChange,
    ::testing::Values(ChangeCase{"Grown", [](const std::string& t) { std::ofstream(t, std::ios::app) << "x"; }},
                      ChangeCase{"Replaced",
                                 [](const std::string& t) {
                                   put(t + ".new", kOld);
                                   std::filesystem::rename(t + ".new", t);
                                 }},
                      ChangeCase{"Rewritten",
                                 [](const std::string& t) {
                                   struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 678}};
                                   ::utimensat(AT_FDCWD, t.c_str(), times, 0);
                                 }},
                      ChangeCase{"Removed", [](const std::string& t) { std::filesystem::remove(t); }}),
    [](const auto& info) { return info.param.label; });

// --- links -----------------------------------------------------------------------

TEST_F(InstallFixture, SymbolicLinkToAFileIsReplacedAndTheLinkedFileKept) {
  put(dir / "real.txt", kOld);
  ASSERT_EQ(::chmod((dir / "real.txt").c_str(), 0604), 0);
  std::filesystem::create_symlink("real.txt", target);
  auto r = install_remote_file(fp, target, kNew, false, existing());
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_TRUE(S_ISREG(lstat_of(target).st_mode));
  EXPECT_EQ(get(target), kNew);
  EXPECT_EQ(mode_of(target), 0604u);  // the linked file's permissions
  EXPECT_EQ(get(dir / "real.txt"), kOld);
  EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"f.txt", "real.txt"}));
}

TEST_F(InstallFixture, DanglingSymbolicLinkIsReplaced) {
  std::filesystem::create_symlink("nowhere", target);
  auto meta = stat_remote_target(fp, target, true);
  ASSERT_TRUE(meta.has_value());
  ASSERT_FALSE(meta->has_value());
  auto r = install_remote_file(fp, target, kNew, false, *meta);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_TRUE(S_ISREG(lstat_of(target).st_mode));
  EXPECT_EQ(get(target), kNew);
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"f.txt"});
}

// Whatever stands under the temporary's name is someone else's: the
// creation fails, nothing is removed, and a link is not followed.
TEST_F(InstallFixture, NameCollisionFailsAndRemovesNothing) {
  make_old_target();
  put(temp, "not ours");
  std::filesystem::create_symlink("nowhere", dir / ".g.txt.brevok-file-agent-4242-99");

  auto r = install_remote_file(fp, target, kNew, false, existing());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "creating remote temporary " + temp + ": " + std::strerror(EEXIST));
  EXPECT_EQ(get(temp), "not ours");
  EXPECT_EQ(get(target), kOld);

  auto link = install_remote_file(fp, dir / "g.txt", kNew, false, std::nullopt);
  ASSERT_FALSE(link.has_value());
  EXPECT_EQ(link.error().full(),
            "creating remote temporary " + (dir / ".g.txt.brevok-file-agent-4242-99") + ": " + std::strerror(EEXIST));
  EXPECT_TRUE(S_ISLNK(lstat_of(dir / ".g.txt.brevok-file-agent-4242-99").st_mode));
  EXPECT_EQ(names(dir.path()), (std::vector<std::string>{kTempName, ".g.txt.brevok-file-agent-4242-99", "f.txt"}));
}

// --- directories -------------------------------------------------------------------

TEST_F(InstallFixture, CreateDirsCreatesEveryMissingLevel) {
  const std::string deep = dir / "a/b/c/f.txt";
  auto r = install_remote_file(fp, deep, kNew, true, std::nullopt);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(get(deep), kNew);
  EXPECT_EQ(names(dir / "a/b/c"), std::vector<std::string>{"f.txt"});
}

TEST_F(InstallFixture, CreatedDirectoriesStayWhenALaterStepFails) {
  fp.fail(Op::kWriteAll, 1, Error::os("disk full"));
  auto r = install_remote_file(fp, dir / "a/b/f.txt", kNew, true, std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().outermost(), "writing remote temporary " + (dir / "a/b/") + kTempName);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b"));
  EXPECT_TRUE(names(dir / "a/b").empty());
}

TEST_F(InstallFixture, CreateDirsThroughAFileFails) {
  put(dir / "file", "x");
  auto r = install_remote_file(fp, dir / "file/sub/f.txt", kNew, true, std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "creating remote parent " + (dir / "file/sub") + ": " + std::strerror(EEXIST));
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"file"});
}

TEST_F(InstallFixture, MissingParentWithoutCreateDirsFailsAtTheTemporary) {
  auto r = install_remote_file(fp, dir / "missing/f.txt", kNew, false, std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(),
            "creating remote temporary " + (dir / "missing/") + kTempName + ": " + std::strerror(ENOENT));
  EXPECT_TRUE(names(dir.path()).empty());
}

// --- file names ----------------------------------------------------------------------

struct NameCase {
  std::string target;  // "{dir}" stands for the scratch directory
  bool create_dirs;
  std::vector<std::string> left;  // what the scratch directory holds afterwards
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << "'" << c.target << "'"; }

class InstallFileName : public InstallFixture, public ::testing::WithParamInterface<NameCase> {};

TEST_P(InstallFileName, WithoutAValidNameNothingIsInstalled) {
  const NameCase& c = GetParam();
  auto r = install_remote_file(fp, fill(c.target, "{dir}", dir.path()), kNew, c.create_dirs, std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "remote path must have a valid UTF-8 file name");
  EXPECT_EQ(fp.calls(Op::kCreateExclusive), 0);
  EXPECT_EQ(names(dir.path()), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Names, InstallFileName,
    ::testing::Values(NameCase{"", true, {}}, NameCase{"/", true, {}}, NameCase{".", false, {}},
                      NameCase{"{dir}/.", false, {}}, NameCase{"{dir}/..", false, {}},
                      NameCase{"{dir}/\xff.txt", false, {}}, NameCase{"{dir}/a\xc3", false, {}},
                      NameCase{"{dir}/a\xed\xa0\x80", false, {}},
                      // The parents come first, and stay.
                      NameCase{"{dir}/new/sub/..", true, {"new"}}, NameCase{"{dir}/new/x\xff", true, {"new"}}));

TEST_F(InstallFixture, TheLongestFileNameCanBeReplaced) {
  const std::string longest = dir / std::string(255, 'n');
  put(longest, kOld);
  auto r = install_remote_file(fp, longest, kNew, false, stat_remote_target(fp, longest, false).value());
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(get(longest), kNew);
}

TEST_F(InstallFixture, OnlyTheFileNameMustBeValidText) {
  const std::string path = dir / "\xff-dir/\xc3\xa9t\xc3\xa9.txt";
  auto r = install_remote_file(fp, path, kNew, true, std::nullopt);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(get(path), kNew);
}

class InCurrentDirectory : public InstallFixture {
 protected:
  void SetUp() override {
    saved_ = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override { std::filesystem::current_path(saved_); }
  std::filesystem::path saved_;
};

TEST_F(InCurrentDirectory, BareFileNameLandsHere) {
  auto r = install_remote_file(fp, "f.txt", kNew, true, std::nullopt);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"f.txt"});
  EXPECT_EQ(get(target), kNew);
}

TEST_F(InCurrentDirectory, BareFileNamesTemporaryIsBesideIt) {
  make_old_target();
  fp.fail(Op::kRenameReplace, 1, Error::os("refused"));
  auto r = install_remote_file(fp, "f.txt", kNew, false, existing());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "installing remote file f.txt: refused");
  EXPECT_EQ(fp.paths()[0], kTempName);  // created here, named without a directory
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"f.txt"});
  EXPECT_EQ(get(target), kOld);
}

// --- the platform's write-all ------------------------------------------------------

// A pipe drained in small pieces keeps the writer blocked; a timer signal
// without SA_RESTART then interrupts it over and over, which the kernel
// reports as short writes (some bytes taken) or EINTR (none taken). Every
// byte must still arrive, once and in order.
TEST(WriteAll, ResumesAfterShortAndInterruptedWrites) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  struct sigaction quiet{}, old_action{};
  quiet.sa_handler = [](int) {};
  sigemptyset(&quiet.sa_mask);
  quiet.sa_flags = 0;
  ASSERT_EQ(::sigaction(SIGALRM, &quiet, &old_action), 0);

  const std::string content = pattern(std::size_t(16) << 20);
  std::string received;
  std::thread reader([&] {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the writer takes the signals
    char buf[512];
    for (;;) {
      ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      received.append(buf, static_cast<std::size_t>(n));
    }
  });
  itimerval every{{0, 200}, {0, 200}};
  ::setitimer(ITIMER_REAL, &every, nullptr);
  auto r = native_platform().write_all(fds[1], content.data(), content.size());
  itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  ::sigaction(SIGALRM, &old_action, nullptr);

  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(received.size(), content.size());
  EXPECT_TRUE(received == content);
}

}  // namespace
}  // namespace brevok
