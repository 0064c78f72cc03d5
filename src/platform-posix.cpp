// The platform layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform-posix.h"
#include "platform.h"

namespace brevok {

namespace {

using posix::Fd;
using posix::os_error;

std::unexpected<Error> last_error() { return std::unexpected<Error>(os_error(errno)); }

// The system takes paths as C strings: a NUL byte would silently cut the
// path short and name another file.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

#define BREVOK_REFUSE_NUL(path) \
  if (has_nul(path)) return std::unexpected<Error>(os_error(EINVAL))

Result<void> write_fd_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) return std::unexpected<Error>(Error::os("write accepted zero bytes"));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

// ---------------------------------------------------------------------------
// The temporary of this run, removed by a signal that ends the agent before
// the temporary was renamed or removed. Only what a signal handler may
// touch: its directory's descriptor, a fixed buffer and a flag.

int g_temporary_dir = -1;
char g_temporary[256];
volatile std::sig_atomic_t g_temporary_recorded = 0;

// Every signal whose default action ends the process and that a caller,
// a timer or a resource limit may send, besides SIGRTMIN to SIGRTMAX,
// which are no constants. Not here: SIGPIPE and SIGXFSZ, ignored so that
// their failures are ordinary errors; SIGKILL and SIGSTOP, which nothing
// can catch; and the signals of a fault in the agent itself (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS), after which it must
// not go on to touch the file system.
constexpr int kEndingSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// Those of them the agent catches: all but the ones ignored when it started.
sigset_t g_ending_signals;

extern "C" void remove_temporary_and_die(int sig) {
  if (g_temporary_recorded) ::unlinkat(g_temporary_dir, g_temporary, 0);
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered as the handler returns: the process ends by `sig`
}

// Has `sig` remove the temporary before it ends the agent, unless it was
// ignored when the agent started: then it stays so.
void catch_ending_signal(int sig) {
  struct sigaction old;
  if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
  struct sigaction act {};
  act.sa_handler = remove_temporary_and_die;
  sigfillset(&act.sa_mask);
  if (::sigaction(sig, &act, nullptr) == 0) sigaddset(&g_ending_signals, sig);
}

// ---------------------------------------------------------------------------
// Metadata

// The link the system keeps for an open descriptor: it leads to that very
// file, whatever its names have become, and nobody else can redirect it.
std::string proc_self(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

using posix::kAccessAclName;
using posix::no_acl_error;

// The access list of the file at `path`; empty when the file has none or
// its file system knows none.
Result<std::string> read_acl(const std::string& path) {
  for (;;) {
    ssize_t n = ::getxattr(path.c_str(), kAccessAclName, nullptr, 0);
    if (n < 0) {
      if (no_acl_error(errno)) return std::string();
      return last_error();
    }
    std::string acl(static_cast<std::size_t>(n), '\0');
    ssize_t got = ::getxattr(path.c_str(), kAccessAclName, acl.data(), acl.size());
    if (got >= 0) {
      acl.resize(static_cast<std::size_t>(got));
      return acl;
    }
    if (errno != ERANGE) return no_acl_error(errno) ? Result<std::string>(std::string()) : last_error();
    // It grew between the two calls: ask again.
  }
}

FileMeta meta_of(const struct stat& st) {
  FileMeta meta;
  meta.is_directory = S_ISDIR(st.st_mode);
  meta.is_regular = S_ISREG(st.st_mode);
  meta.size = static_cast<std::uint64_t>(st.st_size);
  meta.permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
  meta.owner = static_cast<std::uint32_t>(st.st_uid);
  meta.group = static_cast<std::uint32_t>(st.st_gid);
  meta.device = static_cast<std::uint64_t>(st.st_dev);
  meta.inode = static_cast<std::uint64_t>(st.st_ino);
  meta.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  meta.changed_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return meta;
}

// File systems whose files report sizes of their own making (0 or a page)
// rather than the length a read gives.
bool synthetic_sizes(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return true;  // unknown: trust only a read
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x64626720:  // debugfs
    case 0x74726163:  // tracefs
    case 0x73636673:  // securityfs
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0x62656570:  // configfs
    case 0xcafe4a11:  // bpf
    case 0x6165676c:  // pstore
    case 0xde5e81e4:  // efivarfs
      return true;
    default:
      return false;
  }
}

class PosixPlatform final : public Platform {
 public:
  PosixPlatform() {
    // A controlling tool that goes away must not kill the agent by signal:
    // the failed write is reported on standard error with status 1 instead.
    ::signal(SIGPIPE, SIG_IGN);
    // A file size limit makes a write fail with EFBIG, which is reported
    // and cleaned up like any failed write, instead of killing the agent.
    ::signal(SIGXFSZ, SIG_IGN);
    // A dropped connection (SIGHUP), an interrupt, a timer or a CPU limit
    // must not leave a temporary behind. A signal ignored by whoever
    // started us stays so.
    sigemptyset(&g_ending_signals);
    for (int sig : kEndingSignals) catch_ending_signal(sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) catch_ending_signal(sig);
#endif
  }

  Result<std::size_t> read_stdin(char* buf, std::size_t size) override {
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, buf, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return last_error();
    }
  }

  Result<void> write_stdout(const char* data, std::size_t size) override {
    return write_fd_all(STDOUT_FILENO, data, size);
  }
  Result<void> write_stderr(const char* data, std::size_t size) override {
    return write_fd_all(STDERR_FILENO, data, size);
  }

  std::optional<std::string> home() override {
    const char* v = std::getenv("HOME");
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  }

  std::uint32_t process_id() override { return static_cast<std::uint32_t>(::getpid()); }

  std::uint64_t now_ns() override {
    struct timespec ts;
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
  }

  Result<FileMeta> stat_handle(FileHandle file) override {
    const int fd = static_cast<int>(file);
    struct stat st;
    if (::fstat(fd, &st) != 0) return last_error();
    FileMeta meta = meta_of(st);
    if (meta.is_regular) meta.size_exact = !synthetic_sizes(fd);
    return meta;
  }

  void block_ending_signals() override { ::sigprocmask(SIG_BLOCK, &g_ending_signals, &unblocked_); }
  void unblock_ending_signals() override { ::sigprocmask(SIG_SETMASK, &unblocked_, nullptr); }

  void register_temporary(DirHandle dir, const std::string& name) override {
    if (name.size() >= sizeof g_temporary) return;  // too long to have been created
    g_temporary_recorded = 0;
    g_temporary_dir = static_cast<int>(dir);
    std::memcpy(g_temporary, name.c_str(), name.size() + 1);
    g_temporary_recorded = 1;
  }
  void forget_temporary() override { g_temporary_recorded = 0; }

  Result<DirHandle> open_directory(const NativePath& path, DirectoryWalk walk) override {
    BREVOK_REFUSE_NUL(path);
    auto dir = posix::walk_to_directory(AT_FDCWD, path, walk == DirectoryWalk::kCreateMissing);
    if (!dir) return std::unexpected(std::move(dir.error()));
    return static_cast<DirHandle>(dir->release());
  }

  void close_directory(DirHandle dir) override { ::close(static_cast<int>(dir)); }

  Result<FileMeta> stat_at(DirHandle dir, const std::string& name, NameUse use) override {
    auto found = find(dir, name, use);
    if (!found) return std::unexpected(std::move(found.error()));
    FileMeta meta = meta_of(found->st);
    // Only a replacement carries the access list over; a read has no use
    // for it, and a preview is spared the calls.
    if (meta.is_regular && use == NameUse::kReplace) {
      // The descriptor only names the file: its list is read through the
      // link the system keeps for it, which no one else can redirect.
      auto acl = read_acl(proc_self(found->object.get()));
      if (!acl) return std::unexpected(std::move(acl.error()));
      meta.access_acl = std::move(*acl);
    }
    return meta;
  }

  Result<FileMeta> stat_entry(DirHandle dir, const std::string& name) override {
    BREVOK_REFUSE_NUL(name);
    struct stat st;
    if (::fstatat(static_cast<int>(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return last_error();
    return meta_of(st);
  }

  // Private: readable by its owner alone, so that until set_permissions
  // has given it the old file's owner and mode nobody else may open it (and
  // keep it open to read what is written later). As a new file: 0666, less
  // the umask or as the directory's default access list says, exactly as
  // any program's new file. Read and write either way, for the read-back.
  Result<FileHandle> create_exclusive_at(DirHandle dir, const std::string& name, const FileMeta* replacing) override {
    BREVOK_REFUSE_NUL(name);
    const mode_t mode = replacing != nullptr ? 0600 : 0666;
    int fd;
    do {
      fd = ::openat(static_cast<int>(dir), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return last_error();
    return static_cast<FileHandle>(fd);
  }

  // Only a regular file is opened, and only the one examined: through the
  // link the system keeps for the examined descriptor, which cannot be
  // swapped (without /proc, by name in its directory, not following a
  // link; the caller compares what was opened with what was examined).
  // Non-blocking, and left so: a read with nothing there (a file like
  // /proc/kmsg) fails with EAGAIN instead of waiting. Reads of a regular
  // file on disk never wait either way.
  Result<FileHandle> open_read_at(DirHandle dir, const std::string& name, NameUse use) override {
    auto found = find(dir, name, use);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!S_ISREG(found->st.st_mode)) return std::unexpected<Error>(os_error(S_ISDIR(found->st.st_mode) ? EISDIR : ENXIO));
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const std::string self = proc_self(found->object.get());
    int fd;
    do {
      fd = ::open(self.c_str(), kFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOENT) {
      do {
        fd = ::openat(found->dir.get(), found->name.c_str(), kFlags | O_NOFOLLOW);
      } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) return last_error();
    return static_cast<FileHandle>(fd);
  }

  Result<std::size_t> read(FileHandle file, char* buf, std::size_t size) override {
    ssize_t n = ::read(static_cast<int>(file), buf, size);
    if (n < 0) return last_error();
    return static_cast<std::size_t>(n);
  }

  Result<void> write_all(FileHandle file, const char* data, std::size_t size) override {
    return write_fd_all(static_cast<int>(file), data, size);
  }

  Result<void> sync(FileHandle file) override {
    if (full_sync(static_cast<int>(file)) != 0) return last_error();
    return {};
  }

  void close(FileHandle file) override { ::close(static_cast<int>(file)); }

  Result<void> set_permissions(FileHandle file, DirHandle, const std::string&, const FileMeta& existing) override {
    return posix::give_permissions(static_cast<int>(file), existing);
  }
  Result<void> restore_set_id(FileHandle file, const FileMeta& existing) override {
    return posix::restore_set_id(static_cast<int>(file), existing);
  }

  Result<std::size_t> read_at(FileHandle file, char* buf, std::size_t size, std::uint64_t offset) override {
    ssize_t n = ::pread(static_cast<int>(file), buf, size, static_cast<off_t>(offset));
    if (n < 0) return last_error();
    return static_cast<std::size_t>(n);
  }

  // The descriptor cannot be renamed: the name is, in the held directory.
  Result<void> rename_at(DirHandle dir, FileHandle, const std::string& from, const std::string& to) override {
    BREVOK_REFUSE_NUL(from);
    BREVOK_REFUSE_NUL(to);
    const int d = static_cast<int>(dir);
    if (::renameat(d, from.c_str(), d, to.c_str()) != 0) return last_error();
    return {};
  }

  Result<void> remove_at(DirHandle dir, FileHandle, const std::string& name) override {
    BREVOK_REFUSE_NUL(name);
    if (::unlinkat(static_cast<int>(dir), name.c_str(), 0) != 0) return last_error();
    return {};
  }

  // A rename lives in the directory; until the directory itself reaches
  // storage, a crash can bring back the old file after we reported success.
  // The held descriptor only names it: the sync needs it opened.
  Result<void> sync_directory(DirHandle dir) override {
    int fd = ::openat(static_cast<int>(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    int rc = full_sync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) return std::unexpected<Error>(os_error(err));
    return {};
  }

 private:
  // What `name` in `dir` leads to, under the link rules, and refused where
  // another user could have put it there for the agent to act on.
  static Result<posix::Found> find(DirHandle dir, const std::string& name, NameUse use) {
    BREVOK_REFUSE_NUL(name);
    const int d = static_cast<int>(dir);
    std::string_view leaf = name;
    const bool must_be_dir = leaf.size() > 1 && leaf.ends_with('/');
    while (leaf.size() > 1 && leaf.ends_with('/')) leaf.remove_suffix(1);
    auto found = posix::find_in(d, leaf, must_be_dir);
    if (!found) return found;
    struct stat where;
    if (::fstat(found->dir.get(), &where) != 0) return last_error();
    // A hard link to another user's file, made in a directory of an
    // untrusted user (the system does not always forbid making one).
    if (S_ISREG(found->st.st_mode) && found->st.st_nlink > 1 && !posix::trusted_owner(where.st_uid) &&
        found->st.st_uid != where.st_uid) {
      return std::unexpected<Error>(os_error(EACCES));
    }
    // In a sticky directory that others may write, what another user put
    // there is theirs: it is not replaced for them.
    if (use == NameUse::kReplace && leaf != ".") {
      struct stat here, entry;
      if (::fstat(d, &here) != 0) return last_error();
      if ((here.st_mode & S_ISVTX) && (here.st_mode & (S_IWGRP | S_IWOTH)) &&
          ::fstatat(d, std::string(leaf).c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
          !posix::trusted_owner(entry.st_uid) && entry.st_uid != here.st_uid) {
        return std::unexpected<Error>(os_error(EACCES));
      }
    }
    return found;
  }

  sigset_t unblocked_;

 private:
  static int full_sync(int fd) {
#ifdef F_FULLFSYNC
    // On macOS fsync only reaches the drive's cache; F_FULLFSYNC reaches
    // the medium. Some file systems refuse it, and then fsync is the best
    // there is.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd);
  }
};

}  // namespace

Platform& native_platform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace brevok
