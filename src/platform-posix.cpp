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

#include "platform.h"

namespace brevok {

namespace {

Error os_error(int err) { return Error::os(std::strerror(err), err == ENOENT); }

std::unexpected<Error> last_error() { return std::unexpected<Error>(os_error(errno)); }

// The system takes paths as C strings: a NUL byte would silently cut the
// path short and name another file.
bool has_nul(const NativePath& path) { return path.find('\0') != NativePath::npos; }

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
// touch: a fixed buffer and a flag.

char g_temporary[4097];
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
  if (g_temporary_recorded) ::unlink(g_temporary);
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

// Blocks the ending signals while a temporary comes into being, so that
// none can fall between its creation and its recording.
class EndingSignalsBlocked {
 public:
  EndingSignalsBlocked() { ::sigprocmask(SIG_BLOCK, &g_ending_signals, &old_); }
  ~EndingSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

void record_temporary(const NativePath& path) {
  if (path.size() >= sizeof g_temporary) return;  // too long to have been created
  std::memcpy(g_temporary, path.c_str(), path.size() + 1);
  g_temporary_recorded = 1;
}

void forget_temporary(const NativePath& path) {
  if (g_temporary_recorded && path == g_temporary) g_temporary_recorded = 0;
}

// ---------------------------------------------------------------------------
// Metadata

constexpr const char* kAccessAclName = "system.posix_acl_access";

bool no_acl_error(int err) { return err == ENODATA || err == ENOTSUP || err == EOPNOTSUPP; }

// The access list, read by `get` (by path or by descriptor); empty when the
// file has none or its file system knows none.
template <class Get>
Result<std::string> read_acl(Get get) {
  for (;;) {
    ssize_t n = get(nullptr, 0);
    if (n < 0) {
      if (no_acl_error(errno)) return std::string();
      return last_error();
    }
    std::string acl(static_cast<std::size_t>(n), '\0');
    ssize_t got = get(acl.data(), acl.size());
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

// Asked of the system with its own count: a user may be in thousands of
// groups.
bool in_own_groups(gid_t group) {
  if (group == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int n = ::getgroups(count, groups.data());
  return n > 0 && std::find(groups.begin(), groups.begin() + n, group) != groups.begin() + n;
}

// An access list in the system's encoding: a 32-bit version (2), then
// entries of a 16-bit tag, 16-bit permissions and a 32-bit id, all
// little-endian.
constexpr std::size_t kAclHeaderBytes = 4, kAclEntryBytes = 8;
constexpr unsigned kAclGroupObj = 0x04, kAclMask = 0x10;

// Takes every permission from the owning group's entry of `acl`, for a
// file whose group is no longer the one the list granted them to; the
// named entries and the mask stay, as they name the same users and groups
// as before. Tells whether the list has a mask; false for a list of
// another shape, which is not copied.
bool shut_out_owning_group(std::string& acl, bool& has_mask) {
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(acl[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
  };
  if (acl.size() < kAclHeaderBytes || (acl.size() - kAclHeaderBytes) % kAclEntryBytes != 0 || u16(0) != 2 ||
      u16(2) != 0) {
    return false;
  }
  bool owning_group = false;
  has_mask = false;
  for (std::size_t at = kAclHeaderBytes; at < acl.size(); at += kAclEntryBytes) {
    if (u16(at) == kAclGroupObj) acl[at + 2] = acl[at + 3] = '\0', owning_group = true;
    has_mask = has_mask || u16(at) == kAclMask;
  }
  return owning_group;
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

  Result<FileMeta> stat(const NativePath& path) override {
    BREVOK_REFUSE_NUL(path);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return last_error();
    FileMeta meta = meta_of(st);
    if (meta.is_regular) {
      auto acl = read_acl([&](char* buf, std::size_t size) { return ::getxattr(path.c_str(), kAccessAclName, buf, size); });
      if (!acl) return std::unexpected(std::move(acl.error()));
      meta.access_acl = std::move(*acl);
    }
    return meta;
  }

  Result<FileMeta> stat_handle(FileHandle file) override {
    const int fd = static_cast<int>(file);
    struct stat st;
    if (::fstat(fd, &st) != 0) return last_error();
    FileMeta meta = meta_of(st);
    if (meta.is_regular) {
      auto acl = read_acl([&](char* buf, std::size_t size) { return ::fgetxattr(fd, kAccessAclName, buf, size); });
      if (!acl) return std::unexpected(std::move(acl.error()));
      meta.access_acl = std::move(*acl);
      meta.size_exact = !synthetic_sizes(fd);
    }
    return meta;
  }

  Result<void> create_directories(const NativePath& path) override {
    BREVOK_REFUSE_NUL(path);
    if (path.empty()) return {};
    // Walk the components from the front; every prefix that ends a
    // component is created unless it already stands as a directory.
    std::size_t pos = 0;
    while (pos < path.size()) {
      std::size_t next = path.find('/', pos);
      if (next == std::string::npos) next = path.size();
      if (next > pos) {
        std::string prefix = path.substr(0, next);
        if (::mkdir(prefix.c_str(), 0777) != 0) {
          int err = errno;
          struct stat st;
          if (!(err == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            return std::unexpected<Error>(os_error(err));
          }
        }
      }
      pos = next + 1;
    }
    return {};
  }

  // Private: readable by its owner alone, so that until set_permissions
  // has given it the old file's owner and mode nobody else may open it (and
  // keep it open to read what is written later). As a new file: 0666, less
  // the umask or as the directory's default access list says, exactly as
  // any program's new file.
  Result<FileHandle> create_exclusive(const NativePath& path, NewFileAccess access) override {
    BREVOK_REFUSE_NUL(path);
    const mode_t mode = access == NewFileAccess::kPrivate ? 0600 : 0666;
    EndingSignalsBlocked blocked;
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return last_error();
    record_temporary(path);
    return static_cast<FileHandle>(fd);
  }

  // Non-blocking, and left so: a FIFO without a writer cannot hold the
  // open, and a read with nothing there (a FIFO whose writer is silent, a
  // file like /proc/kmsg) fails with EAGAIN instead of waiting. Reads of a
  // regular file on disk never wait either way.
  Result<FileHandle> open_read(const NativePath& path) override {
    BREVOK_REFUSE_NUL(path);
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
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

  // All on the descriptor, so a name swapped meanwhile changes nothing. In
  // this order: the owner and group, whose change would clear set-id bits;
  // the access list; the bits, which set the list's owner, mask and other
  // entries.
  Result<void> set_permissions(FileHandle file, const FileMeta& existing) override {
    const int fd = static_cast<int>(file);
    struct stat own;
    if (::fstat(fd, &own) != 0) return last_error();
    const auto owner = static_cast<uid_t>(existing.owner);
    const auto group = static_cast<gid_t>(existing.group);
    bool group_kept = own.st_gid == group;
    // Only root may give a file away; anyone may hand their own file to a
    // group they belong to. Where neither holds, the file stays ours.
    if (own.st_uid != owner || !group_kept) {
      if (::geteuid() == 0) {
        group_kept = ::fchown(fd, owner, group) == 0;
      } else if (!group_kept && in_own_groups(group)) {
        group_kept = ::fchown(fd, static_cast<uid_t>(-1), group) == 0;
      }
    }
    // Set-id bits come with restore_set_id, after the last byte.
    mode_t mode = static_cast<mode_t>(existing.permissions & 07777 & ~(S_ISUID | S_ISGID));
    std::string acl = existing.access_acl;
    if (!group_kept) {
      // The owning group's permissions were granted to the old group, not
      // to the one the file now has. With an access list the group bits
      // are its mask, which only bounds the named entries.
      bool has_mask = false;
      if (!acl.empty() && !shut_out_owning_group(acl, has_mask)) return std::unexpected<Error>(os_error(EINVAL));
      if (!has_mask) mode &= static_cast<mode_t>(~S_IRWXG);
    }
    if (acl.empty()) {
      // A list inherited from the directory's default would give others
      // access the old file did not.
      if (::fremovexattr(fd, kAccessAclName) != 0 && !no_acl_error(errno)) return last_error();
    } else if (::fsetxattr(fd, kAccessAclName, acl.data(), acl.size(), 0) != 0) {
      return last_error();
    }
    if (::fchmod(fd, mode) != 0) return last_error();
    return {};
  }

  // A set-id program must not start running as someone other than the
  // owner or group it had: the bits come back only where both were kept.
  // With an access list the group bits stay its mask.
  Result<void> restore_set_id(FileHandle file, const FileMeta& existing) override {
    const auto set_id = static_cast<mode_t>(existing.permissions & (S_ISUID | S_ISGID));
    if (set_id == 0) return {};
    const int fd = static_cast<int>(file);
    struct stat own;
    if (::fstat(fd, &own) != 0) return last_error();
    if (own.st_uid != static_cast<uid_t>(existing.owner) || own.st_gid != static_cast<gid_t>(existing.group)) return {};
    if (::fchmod(fd, (own.st_mode & 07777) | set_id) != 0) return last_error();
    return {};
  }

  Result<void> rename_replace(const NativePath& from, const NativePath& to) override {
    BREVOK_REFUSE_NUL(from);
    BREVOK_REFUSE_NUL(to);
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    forget_temporary(from);
    return {};
  }

  Result<void> remove_file(const NativePath& path) override {
    BREVOK_REFUSE_NUL(path);
    if (::unlink(path.c_str()) != 0) {
      const int err = errno;
      if (err == ENOENT) forget_temporary(path);
      return std::unexpected<Error>(os_error(err));
    }
    forget_temporary(path);
    return {};
  }

  // A rename lives in the directory; until the directory itself reaches
  // storage, a crash can bring back the old file after we reported success.
  Result<void> sync_directory(const NativePath& directory) override {
    BREVOK_REFUSE_NUL(directory);
    const char* dir = directory.empty() ? "." : directory.c_str();
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    int rc = full_sync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) return std::unexpected<Error>(os_error(err));
    return {};
  }

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
