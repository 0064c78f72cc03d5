#include "fault_platform.h"

#include <algorithm>
#include <cstring>

namespace brevok::testing {

const char* op_name(Op op) {
  switch (op) {
    case Op::kReadStdin: return "read_stdin";
    case Op::kWriteStdout: return "write_stdout";
    case Op::kWriteStderr: return "write_stderr";
    case Op::kStat: return "stat";
    case Op::kStatHandle: return "stat_handle";
    case Op::kCreateDirectories: return "create_directories";
    case Op::kCreateExclusive: return "create_exclusive";
    case Op::kOpenRead: return "open_read";
    case Op::kRead: return "read";
    case Op::kWriteAll: return "write_all";
    case Op::kSync: return "sync";
    case Op::kSetPermissions: return "set_permissions";
    case Op::kRenameReplace: return "rename_replace";
    case Op::kRemoveFile: return "remove_file";
    case Op::kSyncDirectory: return "sync_directory";
  }
  return "?";
}

int FaultPlatform::calls(Op op) const { return static_cast<int>(std::count(log_.begin(), log_.end(), op)); }

std::optional<Error> FaultPlatform::enter(Op op, const NativePath& path) {
  if (before_call) before_call(op);
  log_.push_back(op);
  paths_.push_back(path);
  int nth = static_cast<int>(log_.size());
  int occurrence = calls(op);
  for (const Fault& f : faults_) {
    bool due = f.op ? (*f.op == op && f.occurrence == occurrence) : f.nth == nth;
    if (due) {
      failed_op = op;
      return f.error;
    }
  }
  return std::nullopt;
}

#define BREVOK_FAULT(...) \
  if (auto injected = enter(__VA_ARGS__)) return std::unexpected(std::move(*injected))

Result<std::size_t> FaultPlatform::read_stdin(char* buf, std::size_t size) {
  BREVOK_FAULT(Op::kReadStdin);
  return inner_.read_stdin(buf, size);
}
Result<void> FaultPlatform::write_stdout(const char* data, std::size_t size) {
  BREVOK_FAULT(Op::kWriteStdout);
  return inner_.write_stdout(data, size);
}
Result<void> FaultPlatform::write_stderr(const char* data, std::size_t size) {
  BREVOK_FAULT(Op::kWriteStderr);
  return inner_.write_stderr(data, size);
}
std::optional<std::string> FaultPlatform::home() { return home_override ? *home_override : inner_.home(); }
std::uint32_t FaultPlatform::process_id() { return pid_override ? *pid_override : inner_.process_id(); }
std::uint64_t FaultPlatform::now_ns() { return now_override ? *now_override : inner_.now_ns(); }
Result<FileMeta> FaultPlatform::stat(const NativePath& path) {
  BREVOK_FAULT(Op::kStat, path);
  auto meta = inner_.stat(path);
  if (meta && stat_size_override) meta->size = *stat_size_override;
  return meta;
}
Result<FileMeta> FaultPlatform::stat_handle(FileHandle file) {
  BREVOK_FAULT(Op::kStatHandle);
  auto meta = inner_.stat_handle(file);
  if (meta && stat_size_override) meta->size = *stat_size_override;
  return meta;
}
Result<void> FaultPlatform::create_directories(const NativePath& path) {
  BREVOK_FAULT(Op::kCreateDirectories, path);
  return inner_.create_directories(path);
}
Result<FileHandle> FaultPlatform::create_exclusive(const NativePath& path) {
  BREVOK_FAULT(Op::kCreateExclusive, path);
  return inner_.create_exclusive(path);
}
Result<FileHandle> FaultPlatform::open_read(const NativePath& path) {
  BREVOK_FAULT(Op::kOpenRead, path);
  replacement_pos_ = 0;
  return inner_.open_read(path);
}
Result<std::size_t> FaultPlatform::read(FileHandle file, char* buf, std::size_t size) {
  BREVOK_FAULT(Op::kRead);
  if (max_read) size = std::min(size, *max_read);
  if (read_replacement) {
    std::size_t n = std::min(size, read_replacement->size() - replacement_pos_);
    std::memcpy(buf, read_replacement->data() + replacement_pos_, n);
    replacement_pos_ += n;
    return n;
  }
  return inner_.read(file, buf, size);
}
Result<void> FaultPlatform::write_all(FileHandle file, const char* data, std::size_t size) {
  BREVOK_FAULT(Op::kWriteAll);
  return inner_.write_all(file, data, size);
}
Result<void> FaultPlatform::sync(FileHandle file) {
  BREVOK_FAULT(Op::kSync);
  return inner_.sync(file);
}
Result<void> FaultPlatform::set_permissions(FileHandle file, const std::optional<FileMeta>& existing) {
  BREVOK_FAULT(Op::kSetPermissions);
  return inner_.set_permissions(file, existing);
}
Result<void> FaultPlatform::rename_replace(const NativePath& from, const NativePath& to) {
  BREVOK_FAULT(Op::kRenameReplace, from);
  return inner_.rename_replace(from, to);
}
Result<void> FaultPlatform::remove_file(const NativePath& path) {
  BREVOK_FAULT(Op::kRemoveFile, path);
  return inner_.remove_file(path);
}
Result<void> FaultPlatform::sync_directory(const NativePath& directory) {
  BREVOK_FAULT(Op::kSyncDirectory, directory);
  return inner_.sync_directory(directory);
}

}  // namespace brevok::testing
