// Paths resolved one component at a time, each directory held by a
// descriptor that needs no read permission, so that what was checked is
// what is used and nothing is looked up by name twice. Symbolic links are
// read from their own descriptors and followed only where nobody but a
// trusted user could have redirected them.
#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform-posix.h"

namespace brevok::posix {

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Error os_error(int err) { return Error::os(std::strerror(err), err == ENOENT); }

bool trusted_owner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

namespace {

// The system's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;
constexpr unsigned long kProcMagic = 0x9fa0;

Result<Fd> open_at(int dir, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dir, name, flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail_errno(errno);
  return Fd(fd);
}

Result<struct stat> stat_of(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail_errno(errno);
  return st;
}

Result<Fd> duplicate(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail_errno(errno);
  return Fd(copy);
}

bool on_proc(int fd) {
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kProcMagic;
}

class Walker {
 public:
  explicit Walker(bool create) : create_(create) {}

  Result<Fd> directory(int base, std::string_view path) {
    auto cur = open_at(path.starts_with('/') ? AT_FDCWD : base, path.starts_with('/') ? "/" : ".",
                       O_PATH | O_DIRECTORY);
    if (!cur) return cur;
    for (std::size_t pos = 0; pos <= path.size();) {
      std::size_t end = path.find('/', pos);
      if (end == std::string_view::npos) end = path.size();
      const std::string_view c = path.substr(pos, end - pos);
      pos = end + 1;
      if (c.empty() || c == ".") continue;
      if (c == "..") {
        auto up = parent_of(cur->get());
        if (!up) return up;
        *cur = std::move(*up);
        continue;
      }
      auto found = object(cur->get(), c, true);
      if (!found) return std::unexpected(std::move(found.error()));
      *cur = std::move(found->object);
    }
    return cur;
  }

  Result<Found> object(int dir, std::string_view name, bool must_be_dir) {
    if (name == "." || name == "..") {
      auto self = name == "." ? duplicate(dir) : parent_of(dir);
      if (!self) return std::unexpected(std::move(self.error()));
      return found(std::move(*self), dir, name, must_be_dir);
    }
    const std::string n(name);
    const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    auto try_open = [&](int more, int& err) {
      int fd;
      do fd = ::openat(dir, n.c_str(), flags | more);
      while (fd < 0 && errno == EINTR);
      err = fd < 0 ? errno : 0;
      return fd;
    };
    int err = 0;
    int raw = try_open(must_be_dir ? O_DIRECTORY : 0, err);
    if (raw < 0 && must_be_dir && err == ENOENT && create_) {
      if (::mkdirat(dir, n.c_str(), 0777) != 0 && errno != EEXIST) return fail_errno(errno);
      // Opened again without following a link: a link put there since
      // is examined as any other.
      raw = try_open(O_DIRECTORY, err);
    }
    // A link, or not a directory: examined below.
    if (raw < 0 && must_be_dir && (err == ENOTDIR || err == ELOOP)) raw = try_open(0, err);
    if (raw < 0) return fail_errno(err);
    auto fd = std::optional<Fd>(Fd(raw));
    auto st = stat_of(fd->get());
    if (!st) return std::unexpected(std::move(st.error()));
    if (S_ISLNK(st->st_mode)) return follow(dir, n, std::move(*fd), *st, must_be_dir);
    return found(std::move(*fd), dir, name, must_be_dir);
  }

 private:
  Result<Found> found(Fd object, int dir, std::string_view name, bool must_be_dir) {
    auto st = stat_of(object.get());
    if (!st) return std::unexpected(std::move(st.error()));
    if (must_be_dir && !S_ISDIR(st->st_mode)) return fail_errno(ENOTDIR);
    auto d = duplicate(dir);
    if (!d) return std::unexpected(std::move(d.error()));
    return Found{std::move(object), *st, std::move(*d), std::string(name)};
  }

  // A ".." that leaves a directory of an untrusted user for one of someone
  // else would let that user's directory lead the agent anywhere.
  Result<Fd> parent_of(int dir) {
    auto up = open_at(dir, "..", O_PATH | O_DIRECTORY);
    if (!up) return up;
    auto here = stat_of(dir), there = stat_of(up->get());
    if (!here) return std::unexpected(std::move(here.error()));
    if (!there) return std::unexpected(std::move(there.error()));
    if (!trusted_owner(here->st_uid) && there->st_uid != here->st_uid) return fail_errno(EACCES);
    return up;
  }

  Result<Found> follow(int dir, const std::string& name, Fd link, const struct stat& st, bool must_be_dir) {
    if (++links_ > kMaxLinks) return fail_errno(ELOOP);
    if (on_proc(link.get())) {
      // /proc/PID/root, /proc/PID/cwd, /proc/self/fd/N: their text may
      // name another mount namespace or a file no path reaches. Only the
      // kernel can follow one, and only for a trusted owner.
      if (!trusted_owner(st.st_uid)) return fail_errno(EACCES);
      auto reached = open_at(dir, name.c_str(), O_PATH | (must_be_dir ? O_DIRECTORY : 0));
      if (!reached) return std::unexpected(std::move(reached.error()));
      return found(std::move(*reached), dir, name, must_be_dir);
    }
    std::vector<char> text(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n;
    for (;;) {
      n = ::readlinkat(link.get(), "", text.data(), text.size());
      if (n < 0) return fail_errno(errno);
      if (static_cast<std::size_t>(n) < text.size()) break;
      text.resize(text.size() * 2);  // grew since it was examined
    }
    // Directories are created only on the path itself, never where a link
    // leads.
    const bool create = std::exchange(create_, false);
    auto reached = path_object(dir, std::string_view(text.data(), static_cast<std::size_t>(n)), must_be_dir);
    create_ = create;
    if (!reached) return reached;
    if (!trusted_owner(st.st_uid) && st.st_uid != reached->st.st_uid) return fail_errno(EACCES);
    return reached;
  }

  // A link's whole text, from the link's directory (or from "/").
  Result<Found> path_object(int base, std::string_view text, bool must_be_dir) {
    if (text.empty()) return fail_errno(ENOENT);
    while (text.size() > 1 && text.ends_with('/')) text.remove_suffix(1), must_be_dir = true;
    const std::size_t cut = text.rfind('/');
    const std::string_view leaf = cut == std::string_view::npos ? text : text.substr(cut + 1);
    const std::string_view up = cut == std::string_view::npos ? "." : cut == 0 ? "/" : text.substr(0, cut);
    auto parent = directory(base, up);
    if (!parent) return std::unexpected(std::move(parent.error()));
    return object(parent->get(), leaf.empty() ? "." : leaf, must_be_dir);
  }

  bool create_;
  int links_ = 0;
};

}  // namespace

Result<Fd> walk_to_directory(int base, std::string_view path, bool create) {
  return Walker(create).directory(base, path);
}

Result<Found> find_in(int dir, std::string_view name, bool must_be_dir) {
  return Walker(false).object(dir, name, must_be_dir);
}

}  // namespace brevok::posix
