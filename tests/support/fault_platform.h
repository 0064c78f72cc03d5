// A test double of the platform layer: passes every call on to another
// platform (normally the real one, inside a scratch directory), counts the
// calls, and fails a chosen one with a chosen error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace brevok::testing {

enum class Op {
  kReadStdin,
  kWriteStdout,
  kWriteStderr,
  kStat,
  kStatHandle,
  kCreateDirectories,
  kCreateExclusive,
  kOpenRead,
  kRead,
  kWriteAll,
  kSync,
  kSetPermissions,
  kRenameReplace,
  kRemoveFile,
  kSyncDirectory,
};

const char* op_name(Op op);

class FaultPlatform final : public Platform {
 public:
  explicit FaultPlatform(Platform& inner) : inner_(inner) {}

  // Fails the `occurrence`-th call (from 1) of `op` with `error`.
  void fail(Op op, int occurrence, Error error) { faults_.push_back({op, occurrence, 0, std::move(error)}); }
  // Fails the `nth` failable call overall (from 1), whatever it is.
  void fail_nth(int nth, Error error) { faults_.push_back({std::nullopt, 0, nth, std::move(error)}); }

  // Runs before every recorded call, to change the world at that moment.
  std::function<void(Op)> before_call;

  // Fixed answers instead of the inner platform's.
  std::optional<std::optional<std::string>> home_override;
  std::optional<std::uint32_t> pid_override;
  std::optional<std::uint64_t> now_override;
  // stat() and stat_handle() report this size instead of the real one,
  // when set.
  std::optional<std::uint64_t> stat_size_override;
  // read() hands out at most this many bytes per call, when set.
  std::optional<std::size_t> max_read;
  // read() of the installed file returns these bytes instead (for the
  // verification's mismatch cases), when set.
  std::optional<std::string> read_replacement;

  int calls(Op op) const;
  int total_calls() const { return static_cast<int>(log_.size()); }
  const std::vector<Op>& log() const { return log_; }
  // The path each call of the log named; empty for calls on a handle.
  const std::vector<std::string>& paths() const { return paths_; }
  // The op of the call that was failed, when one was.
  std::optional<Op> failed_op;

  Result<std::size_t> read_stdin(char* buf, std::size_t size) override;
  Result<void> write_stdout(const char* data, std::size_t size) override;
  Result<void> write_stderr(const char* data, std::size_t size) override;
  std::optional<std::string> home() override;
  std::uint32_t process_id() override;
  std::uint64_t now_ns() override;
  Result<FileMeta> stat(const NativePath& path) override;
  Result<FileMeta> stat_handle(FileHandle file) override;
  Result<void> create_directories(const NativePath& path) override;
  Result<FileHandle> create_exclusive(const NativePath& path) override;
  Result<FileHandle> open_read(const NativePath& path) override;
  Result<std::size_t> read(FileHandle file, char* buf, std::size_t size) override;
  Result<void> write_all(FileHandle file, const char* data, std::size_t size) override;
  Result<void> sync(FileHandle file) override;
  void close(FileHandle file) override { inner_.close(file); }
  Result<void> set_permissions(FileHandle file, const std::optional<FileMeta>& existing) override;
  Result<void> rename_replace(const NativePath& from, const NativePath& to) override;
  Result<void> remove_file(const NativePath& path) override;
  Result<void> sync_directory(const NativePath& directory) override;

 private:
  struct Fault {
    std::optional<Op> op;
    int occurrence;
    int nth;
    Error error;
  };
  // Records the call; the error to fail it with, if one is due.
  std::optional<Error> enter(Op op, const NativePath& path = {});

  Platform& inner_;
  std::vector<Fault> faults_;
  std::vector<Op> log_;
  std::vector<std::string> paths_;
  std::size_t replacement_pos_ = 0;
};

}  // namespace brevok::testing
