// An in-memory platform: a small POSIX-like file system, standard input,
// output and error as strings, a fixed HOME and process id and a clock
// that ticks once per reading. Fast and deterministic, so that a fuzzer can
// run whole request cycles without touching the disk, and a fault-injection
// test can compare its call sequence with the real platform's.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace brevok::testing {

class MemoryPlatform final : public Platform {
 public:
  // Relative paths are resolved against `cwd`, which must be absolute.
  explicit MemoryPlatform(std::string cwd = "/");

  // --- process
  std::string stdin_data;
  std::size_t stdin_pos = 0;
  std::string stdout_data;
  std::string stderr_data;
  // Standard output takes this many bytes in all, then fails as a full
  // device would (no limit when unset).
  std::optional<std::size_t> stdout_capacity;
  std::optional<std::string> home_value;
  std::uint32_t pid = 4242;
  std::uint64_t clock_ns = 1700000000000000000u;

  // --- file system set-up and inspection (paths as the agent would pass
  // them; they are resolved the same way)
  void add_directory(std::string_view path);
  void add_file(std::string_view path, std::string_view content, std::uint32_t permissions = 0644);
  // The content of a regular file, nullopt if there is none at the path.
  std::optional<std::string> file(std::string_view path) const;
  std::optional<std::uint32_t> permissions(std::string_view path) const;
  bool is_directory(std::string_view path) const;
  // Every regular file, by absolute normalised path.
  std::map<std::string, std::string> files() const;
  // Every directory, by absolute normalised path.
  std::vector<std::string> directories() const;
  // The absolute, normalised form of a path, as files() and directories()
  // name it.
  std::string key_of(std::string_view path) const { return normalise(path); }
  // Handles opened and not yet closed.
  std::size_t open_handles() const { return handles_.size(); }
  // Total bytes the file system may hold; a write beyond fails with "No
  // space left on device" (no limit when unset).
  std::optional<std::uint64_t> capacity;

  // --- Platform
  Result<std::size_t> read_stdin(char* buf, std::size_t size) override;
  Result<void> write_stdout(const char* data, std::size_t size) override;
  Result<void> write_stderr(const char* data, std::size_t size) override;
  std::optional<std::string> home() override { return home_value; }
  std::uint32_t process_id() override { return pid; }
  std::uint64_t now_ns() override { return clock_ns++; }
  Result<FileMeta> stat(const NativePath& path) override;
  Result<FileMeta> stat_handle(FileHandle file) override;
  Result<void> create_directories(const NativePath& path) override;
  Result<FileHandle> create_exclusive(const NativePath& path) override;
  Result<FileHandle> open_read(const NativePath& path) override;
  Result<std::size_t> read(FileHandle file, char* buf, std::size_t size) override;
  Result<void> write_all(FileHandle file, const char* data, std::size_t size) override;
  Result<void> sync(FileHandle file) override;
  void close(FileHandle file) override;
  Result<void> set_permissions(FileHandle file, const std::optional<FileMeta>& existing) override;
  Result<void> rename_replace(const NativePath& from, const NativePath& to) override;
  Result<void> remove_file(const NativePath& path) override;
  Result<void> sync_directory(const NativePath& directory) override;

  // Misuse of handles the agent must never commit (closing twice, using a
  // closed handle); tests assert this stays empty.
  std::vector<std::string> misuse;

 private:
  struct Node {
    bool directory = false;
    std::string content;
    std::uint32_t permissions = 0644;
    std::int64_t modified = 0;  // bumped by every write
  };
  static FileMeta meta_of(const Node& node);
  struct Handle {
    std::shared_ptr<Node> node;
    bool writable = false;
    std::size_t pos = 0;
  };
  // The outcome of resolving a path: its normalised absolute form, or the
  // error the lookup ran into (a file used as a directory, an empty path).
  struct Lookup {
    std::string key;
    std::shared_ptr<Node> node;  // null when nothing is there
    std::optional<Error> error;
    bool trailing_separator = false;
  };
  Lookup lookup(std::string_view path) const;
  std::string normalise(std::string_view path) const;
  static std::string parent_key(const std::string& key);
  std::uint64_t used_bytes() const;

  std::string cwd_;
  std::map<std::string, std::shared_ptr<Node>> nodes_;  // "/" always present
  std::map<FileHandle, Handle> handles_;
  FileHandle next_handle_ = 3;
};

}  // namespace brevok::testing
