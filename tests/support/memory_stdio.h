// Standard input and output in memory for in-process runs of the request
// cycle; every other call goes on to another platform. Put a FaultPlatform
// over it to fail reads of standard input or writes of the response.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace brevok::testing {

class MemoryStdio final : public Platform {
 public:
  MemoryStdio(Platform& inner, std::string input) : inner_(inner), input_(std::move(input)) {}

  // At most this many bytes per read of standard input (0: no limit).
  std::size_t max_read = 0;
  std::string out;
  std::string err;
  // The size of every write to standard output, in order.
  std::vector<std::size_t> out_writes;
  std::size_t consumed() const { return pos_; }

  Result<std::size_t> read_stdin(char* buf, std::size_t size) override {
    std::size_t n = std::min(size, input_.size() - pos_);
    if (max_read != 0) n = std::min(n, max_read);
    std::memcpy(buf, input_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  Result<void> write_stdout(const char* data, std::size_t size) override {
    out.append(data, size);
    out_writes.push_back(size);
    return {};
  }
  Result<void> write_stderr(const char* data, std::size_t size) override {
    err.append(data, size);
    return {};
  }

  std::optional<std::string> home() override { return inner_.home(); }
  std::uint32_t process_id() override { return inner_.process_id(); }
  std::uint64_t now_ns() override { return inner_.now_ns(); }
  Result<FileMeta> stat(const NativePath& p) override { return inner_.stat(p); }
  Result<FileMeta> stat_handle(FileHandle f) override { return inner_.stat_handle(f); }
  Result<void> create_directories(const NativePath& p) override { return inner_.create_directories(p); }
  Result<FileHandle> create_exclusive(const NativePath& p) override { return inner_.create_exclusive(p); }
  Result<FileHandle> open_read(const NativePath& p) override { return inner_.open_read(p); }
  Result<std::size_t> read(FileHandle f, char* buf, std::size_t size) override { return inner_.read(f, buf, size); }
  Result<void> write_all(FileHandle f, const char* data, std::size_t size) override {
    return inner_.write_all(f, data, size);
  }
  Result<void> sync(FileHandle f) override { return inner_.sync(f); }
  void close(FileHandle f) override { inner_.close(f); }
  Result<void> set_permissions(FileHandle f, const std::optional<FileMeta>& existing) override {
    return inner_.set_permissions(f, existing);
  }
  Result<void> rename_replace(const NativePath& from, const NativePath& to) override {
    return inner_.rename_replace(from, to);
  }
  Result<void> remove_file(const NativePath& p) override { return inner_.remove_file(p); }
  Result<void> sync_directory(const NativePath& d) override { return inner_.sync_directory(d); }

 private:
  Platform& inner_;
  std::string input_;
  std::size_t pos_ = 0;
};

}  // namespace brevok::testing
