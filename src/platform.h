// The one door to the operating system. Everything the agent needs from the
// system passes through `Platform`, so that tests can put a double in its
// place that fails any call; one implementation file per platform
// (platform-posix.cpp, platform-win32.cpp) provides the real one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "path.h"

namespace brevok {

// What the agent reads of a file's metadata (symbolic links followed).
struct FileMeta {
  bool is_directory = false;
  // A plain file: not a directory, device, FIFO or socket.
  bool is_regular = false;
  std::uint64_t size = 0;
  // Whether `size` is the file's true length: false on file systems whose
  // files report a size of their own making (/proc, /sys). Told by
  // stat_handle.
  bool size_exact = true;
  // POSIX: the permission bits (st_mode & 07777); Windows: the whole file
  // attribute word. Carried onto a replacement file.
  std::uint32_t permissions = 0;
  // POSIX owner and group; 0 on Windows.
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  // The file's identity and last change, to notice that a path now names
  // another file or that the file was written meanwhile.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t modified_ns = 0;
  // The last change of content or metadata (POSIX st_ctime), which no
  // writer can set back: a file written and given its old modification
  // time again still shows here. 0 where the system keeps none.
  std::int64_t changed_ns = 0;
  // The file's access control list in the system's own encoding; empty
  // when it has none beyond its permission bits.
  std::string access_acl;
};

using FileHandle = std::intptr_t;

// A directory the platform has resolved and holds open. Every step after
// the resolution acts on names in it, so that nobody can move the path
// under the agent between its steps.
using DirHandle = std::intptr_t;

// Whether a walk to a directory may create what is missing on the way.
enum class DirectoryWalk { kExisting, kCreateMissing };

// What a final name is looked at for. A replacement (write, edit) also
// refuses another user's file in a sticky directory that others may write.
enum class NameUse { kRead, kReplace };

class Platform {
 public:
  virtual ~Platform() = default;

  // --- process ---
  // Reads up to `size` bytes of standard input; 0 means end of file. An
  // interrupted read is resumed.
  virtual Result<std::size_t> read_stdin(char* buf, std::size_t size) = 0;
  // Writes all bytes to standard output (or standard error).
  virtual Result<void> write_stdout(const char* data, std::size_t size) = 0;
  virtual Result<void> write_stderr(const char* data, std::size_t size) = 0;
  // The environment variable HOME: nullopt when unset, raw native bytes
  // otherwise (possibly empty).
  virtual std::optional<std::string> home() = 0;
  virtual std::uint32_t process_id() = 0;
  // Wall clock in nanoseconds since the Unix epoch; 0 before it.
  virtual std::uint64_t now_ns() = 0;
  // The signals that end the agent are held back between these two calls,
  // so that none falls between a temporary's creation and its registration.
  virtual void block_ending_signals() = 0;
  virtual void unblock_ending_signals() = 0;
  // Until forget_temporary, a signal that ends the agent first removes
  // `name` from `dir` (one temporary at a time).
  virtual void register_temporary(DirHandle dir, const std::string& name) = 0;
  virtual void forget_temporary() = 0;

  // --- file system
  // Every call that takes a path or a name refuses one holding a NUL byte,
  // which the system would cut short, with an invalid-argument error.
  // "Nothing there" errors answer is_not_found().
  //
  // Resolves the directory `path` (empty: the current one) once, component
  // by component, and holds it. A symbolic link on the way is followed
  // only where nobody but a trusted user (root, the agent's own) could
  // have redirected it; a refusal is a permission error.
  virtual Result<DirHandle> open_directory(const NativePath& path, DirectoryWalk walk) = 0;
  virtual void close_directory(DirHandle dir) = 0;
  // The metadata of what `name` in `dir` is, following a final link as
  // open_directory does, without opening it ("." is `dir` itself; a name
  // ending in a separator must be a directory). The access list is read
  // for a replacement only; whether the size is exact, stat_handle tells.
  virtual Result<FileMeta> stat_at(DirHandle dir, const std::string& name, NameUse use) = 0;
  // The entry `name` in `dir` itself: a link is not followed.
  virtual Result<FileMeta> stat_entry(DirHandle dir, const std::string& name) = 0;
  // Metadata of an open file, but for its access list, which the look
  // by name for a replacement (stat_at) has already read.
  virtual Result<FileMeta> stat_handle(FileHandle file) = 0;
  // Opens what stat_at finds for reading, and only if it is a regular
  // file; never waits for a writer or a device.
  virtual Result<FileHandle> open_read_at(DirHandle dir, const std::string& name, NameUse use) = 0;
  // Creates `name` in `dir`, readable and writable through the handle;
  // fails if anything (even a dangling symbolic link) already has the
  // name. A file that is to replace `replacing` starts private to the
  // agent's user (and, on Windows, encrypted where the old file is) until
  // set_permissions; without one it is made as any new file, the umask or
  // the directory's defaults applying, and left so.
  virtual Result<FileHandle> create_exclusive_at(DirHandle dir, const std::string& name,
                                                 const FileMeta* replacing) = 0;
  // Reads up to `size` bytes; 0 means end of file. Not retried, and never
  // waits: a read that would (a FIFO or device without data) fails.
  virtual Result<std::size_t> read(FileHandle file, char* buf, std::size_t size) = 0;
  // The same from `offset` on, whatever was read before.
  virtual Result<std::size_t> read_at(FileHandle file, char* buf, std::size_t size, std::uint64_t offset) = 0;
  // Writes all bytes, resuming after short or interrupted writes; a write
  // that accepts nothing is an error.
  virtual Result<void> write_all(FileHandle file, const char* data, std::size_t size) = 0;
  // Forces the file's data and metadata to storage.
  virtual Result<void> sync(FileHandle file) = 0;
  virtual void close(FileHandle file) = 0;
  // Gives a private temporary, before anything is written to it, what
  // `existing` (the file `name` in `dir`) allows and no more: its owner and
  // group where the agent may keep them, its access list and its permission
  // bits, without set-user-ID and set-group-ID (a write by anyone but root
  // would clear them again). On Windows also its security descriptor,
  // encryption users, compression, named streams and attributes.
  virtual Result<void> set_permissions(FileHandle file, DirHandle dir, const std::string& name,
                                       const FileMeta& existing) = 0;
  // After the last byte is written: adds the set-user-ID and set-group-ID
  // bits of `existing` where the file kept both its owner and its group.
  virtual Result<void> restore_set_id(FileHandle file, const FileMeta& existing) = 0;
  // Moves the temporary `from` in `dir`, open as `file`, onto `to` in the
  // same directory in one step, replacing an existing `to`; when it fails,
  // `to` is as it was. Where the system renames an open file (Windows) the
  // handle is used and `from` is not looked up again.
  virtual Result<void> rename_at(DirHandle dir, FileHandle file, const std::string& from, const std::string& to) = 0;
  // Removes the temporary `name` in `dir`, open as `file`: by name, or
  // where the system allows it, through the handle, when it is closed.
  virtual Result<void> remove_at(DirHandle dir, FileHandle file, const std::string& name) = 0;
  // Makes a completed rename in `dir` durable. Only a hint: callers ignore
  // its failure.
  virtual Result<void> sync_directory(DirHandle dir) = 0;
};

// The operating system itself.
Platform& native_platform();

}  // namespace brevok
