// What the POSIX platform's files share: descriptors that close with their
// owner, the system's errors as values, and the walk that resolves paths
// one component at a time under the link rules.
#pragma once

#include <sys/stat.h>

#include <cerrno>

#include <string>
#include <string_view>
#include <utility>

#include "error.h"
#include "platform.h"

namespace brevok::posix {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept;
  ~Fd();
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

Error os_error(int err);
inline std::unexpected<Error> fail_errno(int err) { return std::unexpected<Error>(os_error(err)); }

// Root and the agent's own user: only they, or a link's owner who also owns
// where it leads, may decide where a symbolic link takes the agent.
bool trusted_owner(uid_t uid);

// What a name leads to once the links the rules allow are followed: the
// object itself, held without opening it (O_PATH), its status, and the
// directory and name it was found under (where the last link led).
struct Found {
  Fd object;
  struct stat st {};
  Fd dir;
  std::string name;
};

// The directory `path` names, from `base` (a directory descriptor, or
// AT_FDCWD) unless it is absolute, reached one component at a time without
// following a link that an untrusted user could have redirected, and
// creating missing components when `create`.
Result<Fd> walk_to_directory(int base, std::string_view path, bool create);
// What `name` (one component, or "." for `dir` itself) in `dir` leads to,
// under the same rules; with `must_be_dir` it must be a directory.
Result<Found> find_in(int dir, std::string_view name, bool must_be_dir);

// The extended attribute that holds a file's POSIX access list, and the
// errors that mean the file or its file system has none.
inline constexpr const char* kAccessAclName = "system.posix_acl_access";
inline bool no_acl_error(int err) { return err == ENODATA || err == ENOTSUP || err == EOPNOTSUPP; }

// Gives the temporary `fd`, before its first byte, what `existing` allows
// and no more; and, after its last, the set-id bits where both owner and
// group were kept.
Result<void> give_permissions(int fd, const FileMeta& existing);
Result<void> restore_set_id(int fd, const FileMeta& existing);

}  // namespace brevok::posix
