// Remote file access: turning a request path into a native path, the checks
// and reads the operations share, and the verified atomic install.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "byte_buffer.h"
#include "error.h"
#include "path.h"
#include "platform.h"

namespace brevok {

// --- resolution and reading

// "~" and "~/..." against HOME; every other path unchanged.
Result<NativePath> expand_remote_path(Platform& platform, std::string_view request_path);

// A request's path resolved once: the directory that holds its last name,
// held open, and that name. Every later step acts through the directory,
// never by the path again; the path is kept for messages.
class RemoteTarget {
 public:
  // Resolves the directory of `path`. Where it does not exist the target
  // has none (yet), and `missing` tells why.
  static Result<RemoteTarget> resolve(Platform& platform, NativePath path);
  RemoteTarget(RemoteTarget&& o) noexcept;
  RemoteTarget& operator=(RemoteTarget&&) = delete;
  ~RemoteTarget();

  const NativePath& path() const { return path_; }
  // The directory's path as given ("" for the current directory).
  const NativePath& parent() const { return parent_; }
  // The last name in the directory: "." where the path names a directory
  // itself, with a trailing separator where the path has one.
  const std::string& name() const { return name_; }
  bool has_directory() const { return dir_.has_value(); }
  DirHandle directory() const { return *dir_; }
  // Why there is no directory: the walk's "nothing there" error.
  const Error& missing() const { return *missing_; }
  // Creates the missing directories of the path and holds the last.
  Result<void> create_directories();

 private:
  RemoteTarget(Platform& platform, NativePath path) : platform_(&platform), path_(std::move(path)) {}
  Platform* platform_;
  NativePath path_, parent_;
  std::string name_;
  std::optional<DirHandle> dir_;
  std::optional<Error> missing_;
};

// A request's path: "~" expanded, then resolved.
Result<RemoteTarget> resolve_remote_target(Platform& platform, std::string_view request_path);

// The target's metadata, as a replacement sees it; nullopt when nothing
// exists there. A directory, or anything else that is not a regular file,
// is refused.
Result<std::optional<FileMeta>> stat_remote_target(Platform& platform, const RemoteTarget& target);

// An open file read in pieces, failures reported as reading the remote file.
class RemoteFileReader {
 public:
  RemoteFileReader(Platform& platform, const NativePath& path, FileHandle file)
      : platform_(&platform), path_(&path), file_(file) {}
  RemoteFileReader(RemoteFileReader&& o) noexcept : platform_(o.platform_), path_(o.path_), file_(o.file_) {
    o.platform_ = nullptr;
  }
  RemoteFileReader& operator=(RemoteFileReader&&) = delete;
  ~RemoteFileReader() {
    if (platform_ != nullptr) platform_->close(file_);
  }
  // Up to `size` bytes; 0 at the end of the file.
  Result<std::size_t> read(char* buf, std::size_t size);
  // The open file's metadata as it is now.
  Result<FileMeta> stat();

 private:
  Platform* platform_;
  const NativePath* path_;
  FileHandle file_;
};

// The target examined, then opened for reading only if it is a regular
// file, and only if what was opened is what was examined: what is checked
// is what is read.
struct OpenRemoteFile {
  FileMeta meta;
  RemoteFileReader reader;
};
Result<OpenRemoteFile> open_remote_file(Platform& platform, const RemoteTarget& target, NameUse use);

struct RemoteFile {
  FileMeta meta;
  ByteBuffer content;
};

// open_remote_file for a replacement, then the whole file.
Result<RemoteFile> read_remote_file(Platform& platform, const RemoteTarget& target);

Error out_of_memory_reading(const NativePath& path);

// --- install

inline constexpr std::size_t VERIFY_BUFFER_BYTES = 65536;

struct InstallOptions {
  // Create the missing directories of the target's path first.
  bool create_dirs = false;
  // The file replaced, whose owner and permissions the new one takes; none
  // for a new file.
  std::optional<FileMeta> existing;
  // The target must still be the file `existing` describes, unmodified,
  // just before the rename.
  bool expect_unchanged = false;
};

// Puts `content` at the target through a temporary beside it, given the
// owner and permissions of `existing` (or a new file's), synced and renamed
// into place, then verified by reading it back. Returns the number of bytes
// installed.
Result<std::uint64_t> install_remote_file(Platform& platform, RemoteTarget& target, std::string_view content,
                                          const InstallOptions& options);

// The longest file name the file systems we meet allow, in bytes.
inline constexpr std::size_t MAX_FILE_NAME_BYTES = 255;

// The temporary's name for `file_name` (valid UTF-8): "." + name +
// ".brevok-file-agent-" + pid + "-" + nanoseconds, the name shortened at a
// character boundary where the whole would exceed MAX_FILE_NAME_BYTES.
std::string temporary_name(std::string_view file_name, std::uint32_t pid, std::uint64_t ns);

}  // namespace brevok
