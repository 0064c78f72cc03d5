// Path resolution and the target checks the operations share: "~" against
// HOME, the metadata query (what counts as "nothing there"), the refusal of
// directories and the whole-file read, on the real file system with faults
// injected where the system cannot be made to fail on demand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>

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

std::string sys(int err) { return std::strerror(err); }

// --- expand_remote_path ------------------------------------------------------

struct ExpandCase {
  std::optional<std::string> home;  // nullopt: HOME unset
  std::string path;
  std::optional<std::string> resolved;  // nullopt: "remote HOME is not set"
};

void PrintTo(const ExpandCase& c, std::ostream* os) {
  *os << "HOME " << (c.home ? "'" + *c.home + "'" : std::string("unset")) << ", path '" << c.path << "'";
}

class ExpandRemotePath : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandRemotePath, ResolvesAgainstHome) {
  const ExpandCase& c = GetParam();
  FaultPlatform fp(native_platform());
  fp.home_override = c.home;
  auto r = expand_remote_path(fp, c.path);
  SCOPED_TRACE("HOME " + (c.home ? "'" + *c.home + "'" : std::string("unset")) + ", path '" + c.path + "'");
  if (c.resolved) {
    ASSERT_TRUE(r.has_value()) << r.error().full();
    EXPECT_EQ(*r, *c.resolved);
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().full(), "remote HOME is not set");  // no cause, no path
  }
  EXPECT_EQ(fp.total_calls(), 0);  // resolution never touches the file system
}

const std::optional<std::string> kUnset;

INSTANTIATE_TEST_SUITE_P(
    HomeSet, ExpandRemotePath,
    ::testing::Values(ExpandCase{"/home/u", "~", "/home/u"}, ExpandCase{"/home/u", "~/", "/home/u/"},
                      ExpandCase{"/home/u", "~/a/b.txt", "/home/u/a/b.txt"},
                      ExpandCase{"/home/u", "~//etc/hosts", "/etc/hosts"},
                      ExpandCase{"/home/u", "~/./a/../b//c", "/home/u/./a/../b//c"},
                      ExpandCase{"/home/u/", "~/a", "/home/u/a"}, ExpandCase{"/home/u/", "~", "/home/u/"},
                      ExpandCase{"/home/u", "~user/notes", "~user/notes"}, ExpandCase{"/home/u", "~notes", "~notes"},
                      ExpandCase{"/home/u", "~\\notes", "~\\notes"}, ExpandCase{"/home/u", "/tmp/~/x", "/tmp/~/x"},
                      ExpandCase{"/home/u", "", ""}, ExpandCase{"/home/u", "rel/a", "rel/a"},
                      ExpandCase{"/home/u", " ~/a", " ~/a"},
                      // HOME's bytes pass through unchanged, valid text or not.
                      ExpandCase{"/home/\xff", "~/a", "/home/\xff/a"}));

INSTANTIATE_TEST_SUITE_P(HomeUnset, ExpandRemotePath,
                         ::testing::Values(ExpandCase{kUnset, "~", std::nullopt},
                                           ExpandCase{kUnset, "~/", std::nullopt},
                                           ExpandCase{kUnset, "~/a/b.txt", std::nullopt},
                                           ExpandCase{kUnset, "~//etc/hosts", std::nullopt},
                                           ExpandCase{kUnset, "~user/notes", "~user/notes"},
                                           ExpandCase{kUnset, "~notes", "~notes"},
                                           ExpandCase{kUnset, "~\\notes", "~\\notes"},
                                           ExpandCase{kUnset, "/tmp/~/x", "/tmp/~/x"}, ExpandCase{kUnset, "", ""}));

INSTANTIATE_TEST_SUITE_P(HomeEmpty, ExpandRemotePath,
                         ::testing::Values(ExpandCase{"", "~", ""}, ExpandCase{"", "~/a", "a"},
                                           ExpandCase{"", "~/", ""}, ExpandCase{"", "~//etc/hosts", "/etc/hosts"},
                                           ExpandCase{"", "~user/notes", "~user/notes"}));

// --- stat_remote_target on the real file system ------------------------------

enum class Expect { kFile, kMissing, kDirectory, kStatError };

struct StatCase {
  std::string name;  // under the fixture's directory
  bool missing_allowed;
  Expect expect;
  int err = 0;  // the system error of kStatError
};

void PrintTo(const StatCase& c, std::ostream* os) {
  *os << "'" << c.name << "'" << (c.missing_allowed ? " missing allowed" : "");
}

class StatRemoteTarget : public ::testing::TestWithParam<StatCase> {
 protected:
  void SetUp() override {
    put(dir / "f", "12345");
    std::filesystem::create_directory(dir / "d");
    std::filesystem::create_symlink("d", dir / "to-dir");
    std::filesystem::create_symlink("f", dir / "to-file");
    std::filesystem::create_symlink("nowhere", dir / "dangling");
    std::filesystem::create_symlink("loop", dir / "loop");
  }
  Scratch dir;
};

TEST_P(StatRemoteTarget, TellsFileMissingDirectoryAndFailureApart) {
  const StatCase& c = GetParam();
  const NativePath path = dir / c.name;
  auto r = stat_remote_target(native_platform(), path, c.missing_allowed);
  switch (c.expect) {
    case Expect::kFile:
      ASSERT_TRUE(r.has_value()) << r.error().full();
      ASSERT_TRUE(r->has_value());
      EXPECT_FALSE((*r)->is_directory);
      EXPECT_EQ((*r)->size, 5u);
      break;
    case Expect::kMissing:
      ASSERT_TRUE(r.has_value()) << r.error().full();
      EXPECT_FALSE(r->has_value());
      break;
    case Expect::kDirectory:
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().full(), "path is a directory: " + path);
      break;
    case Expect::kStatError:
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().full(), "stating remote file " + path + ": " + sys(c.err));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatRemoteTarget,
    ::testing::Values(StatCase{"f", false, Expect::kFile}, StatCase{"f", true, Expect::kFile},
                      StatCase{"to-file", false, Expect::kFile},
                      StatCase{"missing", true, Expect::kMissing},
                      StatCase{"missing", false, Expect::kStatError, ENOENT},
                      StatCase{"no/such/dir/f", true, Expect::kMissing},
                      StatCase{"dangling", true, Expect::kMissing},
                      StatCase{"dangling", false, Expect::kStatError, ENOENT},
                      StatCase{"d", false, Expect::kDirectory}, StatCase{"d", true, Expect::kDirectory},
                      StatCase{"d/", true, Expect::kDirectory}, StatCase{"to-dir", true, Expect::kDirectory},
                      // Only "no such file" means nothing is there; a file used as
                      // a directory or a link loop is a failure even for a write.
                      StatCase{"f/x", true, Expect::kStatError, ENOTDIR},
                      StatCase{"f/", true, Expect::kStatError, ENOTDIR},
                      StatCase{"loop", true, Expect::kStatError, ELOOP}));

TEST(StatRemoteTargetFaults, AnyErrorButNotFoundFailsEvenWhenMissingIsAllowed) {
  Scratch dir;
  put(dir / "f", "x");
  FaultPlatform fp(native_platform());
  fp.fail(Op::kStat, 1, Error::os("Permission denied"));
  auto r = stat_remote_target(fp, dir / "f", true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "stating remote file " + (dir / "f") + ": Permission denied");
  EXPECT_EQ(r.error().outermost(), "stating remote file " + (dir / "f"));
}

TEST(StatRemoteTargetFaults, EmptyPathNamesAnEmptyPlaceholder) {
  auto missing = stat_remote_target(native_platform(), "", true);
  ASSERT_TRUE(missing.has_value());
  EXPECT_FALSE(missing->has_value());
  auto r = stat_remote_target(native_platform(), "", false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().outermost(), "stating remote file ");
}

TEST(StatRemoteTargetFaults, MessageShowsInvalidBytesAsReplacementCharacter) {
  auto r = stat_remote_target(native_platform(), "/nonexistent-brevok/\xff.txt", false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().outermost(), "stating remote file /nonexistent-brevok/\xef\xbf\xbd.txt");
}

TEST(StatRemoteTargetFaults, TildeSlashNamesHomeWithItsTrailingSeparator) {
  Scratch dir;
  FaultPlatform fp(native_platform());
  fp.home_override = std::optional<std::string>(dir.path());
  auto path = expand_remote_path(fp, "~/");
  ASSERT_TRUE(path.has_value());
  auto r = stat_remote_target(fp, *path, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "path is a directory: " + dir.path() + "/");
}

// --- read_remote_file ----------------------------------------------------------

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

struct ReadCase {
  std::size_t size;
  std::optional<std::uint64_t> stat_size;  // what the metadata claims
  std::optional<std::size_t> max_read;     // short reads
};

void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.size << " bytes, stat says " << (c.stat_size ? std::to_string(*c.stat_size) : "true size")
      << ", reads of at most " << (c.max_read ? std::to_string(*c.max_read) : "any size");
}

class ReadRemoteFile : public ::testing::TestWithParam<ReadCase> {};

// The content is what the reads deliver up to the end of the file, whatever
// the metadata said and however short each read is.
TEST_P(ReadRemoteFile, ReturnsExactlyTheBytesReadToTheEnd) {
  const ReadCase& c = GetParam();
  Scratch dir;
  const std::string content = pattern(c.size);
  put(dir / "f", content);
  FaultPlatform fp(native_platform());
  fp.stat_size_override = c.stat_size;
  fp.max_read = c.max_read;
  auto r = read_remote_file(fp, dir / "f");
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_TRUE(r->content.view() == content) << "read " << r->content.size() << " of " << content.size();
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadRemoteFile,
                         ::testing::Values(ReadCase{0, std::nullopt, std::nullopt},
                                           ReadCase{1, std::nullopt, std::nullopt},
                                           ReadCase{100000, std::nullopt, std::nullopt},
                                           ReadCase{100000, std::nullopt, 999},
                                           // The file grew after the metadata query.
                                           ReadCase{100000, 0, std::nullopt}, ReadCase{100000, 10, 7},
                                           // The file shrank after the metadata query.
                                           ReadCase{10, 100000, std::nullopt}));

TEST(ReadRemoteFileMeta, CarriesThePermissionBitsOfTheFile) {
  Scratch dir;
  put(dir / "f", "abc");
  ASSERT_EQ(::chmod((dir / "f").c_str(), 0640), 0);
  auto r = read_remote_file(native_platform(), dir / "f");
  ASSERT_TRUE(r.has_value()) << r.error().full();
  EXPECT_EQ(r->meta.permissions, 0640u);
  EXPECT_FALSE(r->meta.is_directory);
}

struct ReadFailureCase {
  Op op;
  int occurrence;
};

void PrintTo(const ReadFailureCase& c, std::ostream* os) { *os << op_name(c.op) << " #" << c.occurrence; }

class ReadRemoteFileFailure : public ::testing::TestWithParam<ReadFailureCase> {};

TEST_P(ReadRemoteFileFailure, IsReadingRemoteFileWithTheSystemCause) {
  Scratch dir;
  put(dir / "f", pattern(5000));
  FaultPlatform fp(native_platform());
  fp.max_read = 1000;
  fp.fail(GetParam().op, GetParam().occurrence, Error::os("Input/output error"));
  auto r = read_remote_file(fp, dir / "f");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "reading remote file " + (dir / "f") + ": Input/output error");
}

INSTANTIATE_TEST_SUITE_P(Steps, ReadRemoteFileFailure,
                         ::testing::Values(ReadFailureCase{Op::kOpenRead, 1}, ReadFailureCase{Op::kRead, 1},
                                           ReadFailureCase{Op::kRead, 3}));

// --- what is not a regular file ----------------------------------------------

// Nothing but a regular file is read or replaced: a device, FIFO or socket
// stays what it is, a FIFO without a writer holds nothing up, and a NUL in
// the path is refused before it could cut the path short.
struct TargetCase {
  std::string label;
  std::function<std::string(const Scratch&)> make;  // returns the target
  std::string read_message;                          // readPreview and edit
  std::string write_message;                         // "" : write goes on
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.label; }

class TargetKind : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetKind, IsCheckedOnTheOpenFileBeforeAnythingElse) {
  const TargetCase& c = GetParam();
  Scratch dir;
  const std::string target = c.make(dir);
  auto expected = [&](std::string m) { return m.replace(m.find("{}"), 2, display_path(target)); };
  FaultPlatform fp(native_platform());
  auto read = read_remote_file(fp, target);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().full(), expected(c.read_message));
  auto write = stat_remote_target(fp, target, true);
  if (c.write_message.empty()) {
    EXPECT_TRUE(write.has_value() && !write->has_value());
  } else {
    ASSERT_FALSE(write.has_value());
    EXPECT_EQ(write.error().full(), expected(c.write_message));
  }
}

std::string fifo(const Scratch& d) {
  EXPECT_EQ(::mkfifo((d / "fifo").c_str(), 0666), 0);
  return d / "fifo";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TargetKind,
    ::testing::Values(
        TargetCase{"Missing", [](const Scratch& d) { return d / "missing"; },
                   "stating remote file {}: " + sys(ENOENT), ""},
        TargetCase{"Directory", [](const Scratch& d) { return d.path(); }, "path is a directory: {}",
                   "path is a directory: {}"},
        TargetCase{"Fifo", fifo, "path is not a regular file: {}", "path is not a regular file: {}"},
        TargetCase{"LinkToFifo",
                   [](const Scratch& d) {
                     std::filesystem::create_symlink(fifo(d), d / "link");
                     return d / "link";
                   },
                   "path is not a regular file: {}", "path is not a regular file: {}"},
        TargetCase{"Device", [](const Scratch&) { return std::string("/dev/zero"); },
                   "path is not a regular file: {}", "path is not a regular file: {}"},
        TargetCase{"NulInPath", [](const Scratch& d) { return put(d / "a", "x"), d / std::string("a\0b", 3); },
                   "stating remote file {}: " + sys(EINVAL), "stating remote file {}: " + sys(EINVAL)}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace brevok
