// The real platform, working in a scratch directory, with a record of the calls made to it and the means to fail
// any one of them or make it report other values.
#pragma once

#include <functional>
#include <vector>

#include "platform.h"
#include "scratch.h"

namespace brevok::testing {

class FaultPlatform final : public Platform {
 public:
  Scratch dir;
  std::vector<std::string> calls, paths;  // each call's name and the path or name it named
  int fail_at = 0;                          // the call (from 1) that fails with `error`
  Error error = Error::os("injected");
  std::function<void(const std::string&)> before;  // runs before each call, given its name
  std::function<Result<FileMeta>(Result<FileMeta>)> claim = [](auto m) { return m; };  // what stat(_handle) report
  std::optional<std::string> reads;  // what read hands out instead of the open file's bytes
  std::string input, output;         // standard input and output
  std::size_t consumed = 0;          // bytes of `input` read so far
  std::vector<std::size_t> asked;    // the size each read of a file asked for
  std::vector<const char*> into;     // and where it was to put the bytes
  int open = 0;                      // handles opened and not yet closed

// A call passed on to the real platform unchanged, under its own name.
#define BREVOK_PASS(R, name, params, path, ...) \
  Result<R> name params override { return pass(#name, path, [&] { return os_.name(__VA_ARGS__); }); }
  BREVOK_PASS(void, write_all, (FileHandle f, const char* d, std::size_t n), "", f, d, n)
  BREVOK_PASS(void, sync, (FileHandle f), "", f)
  BREVOK_PASS(void, set_permissions, (FileHandle f, DirHandle d, const std::string& n, const FileMeta& m), "", f, d, n, m)
  BREVOK_PASS(void, restore_set_id, (FileHandle f, const FileMeta& m), "", f, m)
  BREVOK_PASS(void, rename_at, (DirHandle d, FileHandle f, const std::string& from, const std::string& to), from, d, f, from,
              to)
  BREVOK_PASS(void, remove_at, (DirHandle d, FileHandle f, const std::string& n), n, d, f, n)
  BREVOK_PASS(void, sync_directory, (DirHandle d), "", d)
  BREVOK_PASS(FileMeta, stat_entry, (DirHandle d, const std::string& n), n, d, n)
#undef BREVOK_PASS
  Result<DirHandle> open_directory(const NativePath& p, DirectoryWalk w) override {
    return pass("open_directory", p, [&] { return counted(os_.open_directory(p, w)); });
  }
  void close_directory(DirHandle d) override { --open, os_.close_directory(d); }
  Result<FileMeta> stat_at(DirHandle d, const std::string& n, NameUse u) override {
    return pass("stat_at", n, [&] { return claim(os_.stat_at(d, n, u)); });
  }
  Result<FileHandle> create_exclusive_at(DirHandle d, const std::string& n, const FileMeta* r) override {
    return pass("create_exclusive_at", n, [&] { return counted(os_.create_exclusive_at(d, n, r)); });
  }
  Result<FileHandle> open_read_at(DirHandle d, const std::string& n, NameUse u) override {
    return pass("open_read_at", n, [&] { return read_pos_ = 0, counted(os_.open_read_at(d, n, u)); });
  }
  Result<std::size_t> read_at(FileHandle f, char* b, std::size_t n, std::uint64_t at) override {
    return pass("read_at", "", [&] { return reads ? take(*reads, read_pos_ = at, b, n) : os_.read_at(f, b, n, at); });
  }
  void block_ending_signals() override { os_.block_ending_signals(); }
  void unblock_ending_signals() override { os_.unblock_ending_signals(); }
  void register_temporary(DirHandle d, const std::string& n) override { os_.register_temporary(d, n); }
  void forget_temporary() override { os_.forget_temporary(); }
  void close(FileHandle f) override { --open, os_.close(f); }
  Result<std::size_t> read(FileHandle f, char* b, std::size_t n) override {
    return pass("read", "", [&] { return asked.push_back(n), into.push_back(b), reads ? take(*reads, read_pos_, b, n) : os_.read(f, b, n); });
  }
  Result<std::size_t> read_stdin(char* b, std::size_t n) override {
    return pass("read_stdin", "", [&] { return take(input, consumed, b, n); });
  }
  Result<FileMeta> stat_handle(FileHandle f) override {
    return pass("stat_handle", "", [&] { return claim(os_.stat_handle(f)); });
  }
  Result<void> write_stdout(const char* d, std::size_t n) override {
    return pass("write_stdout", "", [&] { return output.append(d, n), Result<void>(); });
  }
  Result<void> write_stderr(const char*, std::size_t) override { return {}; }
  std::optional<std::string> home() override { return os_.home(); }
  std::uint32_t process_id() override { return os_.process_id(); }
  std::uint64_t now_ns() override { return os_.now_ns(); }

 private:
  template <class F>
  auto pass(std::string name, const NativePath& path, F call) -> decltype(call()) {
    if (before) before(name);
    calls.push_back(std::move(name)), paths.push_back(path);
    return static_cast<int>(calls.size()) == fail_at ? std::unexpected(error) : call();
  }
  static Result<std::size_t> take(const std::string& from, std::size_t& pos, char* buf, std::size_t n) {
    std::size_t got = from.copy(buf, n, pos);
    return pos += got, got;
  }
  template <class H>
  Result<H> counted(Result<H> f) { return open += f.has_value(), f; }
  Platform& os_ = native_platform();
  std::size_t read_pos_ = 0;
};

}  // namespace brevok::testing
