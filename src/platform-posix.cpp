// The platform layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"

namespace brevok {

namespace {

Error os_error(int err) { return Error::os(std::strerror(err), err == ENOENT); }

std::unexpected<Error> last_error() { return std::unexpected<Error>(os_error(errno)); }

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

class PosixPlatform final : public Platform {
 public:
  PosixPlatform() {
    // A controlling tool that goes away must not kill the agent by signal:
    // the failed write is reported on standard error with status 1 instead.
    ::signal(SIGPIPE, SIG_IGN);
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
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return last_error();
    FileMeta meta;
    meta.is_directory = S_ISDIR(st.st_mode);
    meta.size = static_cast<std::uint64_t>(st.st_size);
    meta.permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
    return meta;
  }

  Result<void> create_directories(const NativePath& path) override {
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

  Result<FileHandle> create_exclusive(const NativePath& path) override {
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return last_error();
    return static_cast<FileHandle>(fd);
  }

  Result<FileHandle> open_read(const NativePath& path) override {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

  Result<void> set_permissions(const NativePath& path, const FileMeta& from) override {
    if (::chmod(path.c_str(), static_cast<mode_t>(from.permissions & 07777)) != 0) return last_error();
    return {};
  }

  Result<void> rename_replace(const NativePath& from, const NativePath& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    return {};
  }

  Result<void> remove_file(const NativePath& path) override {
    if (::unlink(path.c_str()) != 0) return last_error();
    return {};
  }

  // A rename lives in the directory; until the directory itself reaches
  // storage, a crash can bring back the old file after we reported success.
  Result<void> sync_directory(const NativePath& directory) override {
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

namespace {

constexpr std::size_t kHugeThreshold = std::size_t(4) << 20;
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kPage = 4096;
// The first bytes of a large buffer stay on ordinary pages: a buffer sized
// for the worst case (the request buffer) that receives a few bytes then
// costs a page or two, not a whole huge page.
constexpr std::size_t kSmallHead = std::size_t(256) << 10;

std::uintptr_t align_up(std::uintptr_t v, std::size_t to) { return (v + to - 1) / to * to; }

// Fresh pages cost a fault each, and on a virtual machine a costly one;
// huge pages cut the faults of a large buffer by a factor of 512.
void advise_huge_pages(std::uintptr_t begin, std::uintptr_t end) {
#ifdef MADV_HUGEPAGE
  begin = align_up(begin, kHugePage);
  end = end / kHugePage * kHugePage;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)end;
#endif
}

}  // namespace

char* allocate_bytes(std::size_t size) {
  if (size < kHugeThreshold) return static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  // One huge page more is mapped than asked for, so that the buffer can be
  // placed with its small head ending on a huge-page boundary; the spare
  // ends are given back at once.
  if (size > SIZE_MAX - 2 * kHugePage) return nullptr;
  const std::size_t span = align_up(size, kPage) + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto first = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t start = align_up(first + kSmallHead, kHugePage) - kSmallHead;
  const std::uintptr_t end = start + align_up(size, kPage);
  if (start > first) ::munmap(raw, start - first);
  if (first + span > end) ::munmap(reinterpret_cast<void*>(end), first + span - end);
  advise_huge_pages(start + kSmallHead, end);
  return reinterpret_cast<char*>(start);
}

void free_bytes(char* bytes, std::size_t size) {
  if (size < kHugeThreshold) {
    std::free(bytes);
  } else {
    ::munmap(bytes, size);
  }
}

}  // namespace brevok

// Large allocations of the standard library (the decoded strings of a
// request, the occurrence list of an edit) come from malloc's own mappings;
// the same advice spares them a fault per ordinary page. Everything else is
// plain malloc, which the default operator delete matches. (The address
// sanitizer keeps its own, which must stay paired with its delete. GCC
// announces it with __SANITIZE_ADDRESS__, clang through __has_feature.)
#if defined(__SANITIZE_ADDRESS__)
#define BREVOK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BREVOK_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef BREVOK_ADDRESS_SANITIZER
void* operator new(std::size_t size) {
  for (;;) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
      if (size >= brevok::kHugeThreshold) {
        const auto begin = reinterpret_cast<std::uintptr_t>(p);
        brevok::advise_huge_pages(begin, begin + size);
      }
      return p;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* operator new[](std::size_t size) { return ::operator new(size); }
#endif
