// The helper of bench/run: makes the benchmark files and times commands.
//
//   brevok-bench-tool lines FILE SIZE WIDTH        log-like lines of WIDTH bytes
//   brevok-bench-tool fill FILE SIZE CHAR          SIZE copies of one byte
//   brevok-bench-tool needles FILE SIZE COUNT NEEDLE
//                                                  text with COUNT evenly spread NEEDLEs
//   brevok-bench-tool write-request REQUEST RAW TARGET SIZE
//                                                  a "write" request of SIZE content bytes
//                                                  and the content itself
//   brevok-bench-tool run [-n K] [-i IN] [-o OUT] -- COMMAND ARGS...
//                                                  runs COMMAND K times in a row and prints
//                                                  "SECONDS_PER_RUN MAX_RSS_KIB"
//
// Timing is wall-clock around spawn and wait; the peak memory is the
// largest ru_maxrss that wait4 reports for the command's process.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_data.h"

extern char** environ;

namespace {

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "brevok-bench-tool: %s\n", message.c_str());
  std::exit(2);
}

std::size_t parse_size(const char* text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') die(std::string("not a number: ") + text);
  return static_cast<std::size_t>(v);
}

class Output {
 public:
  explicit Output(const char* path) : path_(path) {
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) die(std::string("cannot create ") + path + ": " + std::strerror(errno));
  }
  ~Output() {
    if (::close(fd_) != 0) die(std::string("closing ") + path_);
  }
  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) die(std::string("writing ") + path_ + ": " + std::strerror(errno));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Writes `unit` again and again until `size` bytes are out.
  void repeat(std::string_view unit, std::size_t size) {
    std::string block;
    while (block.size() < (std::size_t(4) << 20)) block += unit;
    while (size > 0) {
      std::size_t n = std::min(size, block.size());
      write(std::string_view(block).substr(0, n));
      size -= n;
    }
  }

 private:
  const char* path_;
  int fd_;
};

int cmd_lines(char** a) {
  std::size_t size = parse_size(a[1]);
  std::size_t width = parse_size(a[2]);
  if (width < 2) die("width must be at least 2");
  // A few thousand distinct lines, repeated.
  std::string unit = brevok::bench::log_lines(width * 4096, width);
  Output(a[0]).repeat(unit, size);
  return 0;
}

int cmd_fill(char** a) {
  std::size_t size = parse_size(a[1]);
  if (std::strlen(a[2]) != 1) die("fill takes one character");
  Output(a[0]).repeat(std::string(65536, a[2][0]), size);
  return 0;
}

int cmd_needles(char** a) {
  std::size_t size = parse_size(a[1]);
  std::size_t count = parse_size(a[2]);
  std::string_view needle = a[3];
  if (count == 0 || size / count < needle.size() + 2) die("too many needles for the size");
  std::size_t unit_size = size / count;
  // Lower-case log text around an upper-case needle at the end of a line:
  // the needle cannot occur anywhere else.
  std::string filler = brevok::bench::log_lines(unit_size + size % count + 4096, 67);
  std::string unit = filler.substr(0, unit_size - needle.size() - 1);
  unit += needle;
  unit += '\n';
  Output out(a[0]);
  out.repeat(unit, unit_size * count);
  out.write(std::string_view(filler).substr(0, size - unit_size * count));
  return 0;
}

std::string json_text(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

int cmd_write_request(char** a) {
  std::size_t size = parse_size(a[3]);
  std::string raw;
  std::string content = brevok::bench::json_content(size, &raw);
  Output(a[1]).write(raw);
  raw = std::string();
  Output req(a[0]);
  req.write("{\"protocol\":1,\"operation\":\"write\",\"path\":" + json_text(a[2]) + ",\"content\":\"");
  req.write(content);
  req.write("\"}");
  return 0;
}

double now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int cmd_run(int argc, char** argv) {
  std::size_t repeat = 1;
  const char* in = "/dev/null";
  const char* out = "/dev/null";
  int i = 0;
  for (; i < argc; ++i) {
    std::string_view o = argv[i];
    if (o == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) die("missing value for " + std::string(o));
    if (o == "-n") {
      repeat = parse_size(argv[++i]);
    } else if (o == "-i") {
      in = argv[++i];
    } else if (o == "-o") {
      out = argv[++i];
    } else {
      die("unknown option " + std::string(o));
    }
  }
  if (i >= argc || repeat == 0) die("nothing to run");
  char** command = argv + i;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);

  long max_rss = 0;
  double total = 0;
  for (std::size_t k = 0; k < repeat; ++k) {
    double start = now_seconds();
    pid_t pid;
    int rc = posix_spawnp(&pid, command[0], &actions, nullptr, command, environ);
    if (rc != 0) die(std::string("cannot start ") + command[0] + ": " + std::strerror(rc));
    int status = 0;
    struct rusage usage;
    while (::wait4(pid, &status, 0, &usage) < 0) {
      if (errno != EINTR) die("wait4 failed");
    }
    total += now_seconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      die(std::string(command[0]) + " failed with status " + std::to_string(status));
    }
    if (usage.ru_maxrss > max_rss) max_rss = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  std::printf("%.9f %ld\n", total / static_cast<double>(repeat), max_rss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) die("usage: brevok-bench-tool lines|fill|needles|write-request|run ...");
  std::string_view cmd = argv[1];
  char** a = argv + 2;
  int n = argc - 2;
  if (cmd == "lines" && n == 3) return cmd_lines(a);
  if (cmd == "fill" && n == 3) return cmd_fill(a);
  if (cmd == "needles" && n == 4) return cmd_needles(a);
  if (cmd == "write-request" && n == 4) return cmd_write_request(a);
  if (cmd == "run") return cmd_run(n, a);
  die("unknown command or wrong arguments: " + std::string(cmd));
}
