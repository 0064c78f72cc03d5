#include "agent_process.h"
#include "text.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef BREVOK_AGENT_BINARY
#define BREVOK_AGENT_BINARY "brevok-file-agent"
#endif

namespace brevok::testing {

const AgentCommand& agent_command() {
  static const AgentCommand command = [] {
    AgentCommand c;
    const char* env = std::getenv("BREVOK_AGENT");
    std::istringstream words(env != nullptr && *env != '\0' ? env : BREVOK_AGENT_BINARY);
    for (std::string w; words >> w;) c.prefix.push_back(w);
    const char* plat = std::getenv("BREVOK_AGENT_PLATFORM");
    if (plat != nullptr && std::string_view(plat) == "windows") c.platform = AgentPlatform::kWindows;
    return c;
  }();
  return command;
}

bool agent_is_windows() { return agent_command().platform == AgentPlatform::kWindows; }

std::string agent_path(std::string_view host_path) {
  if (!agent_is_windows() || host_path.empty() || host_path[0] != '/') return std::string(host_path);
  std::string out = "Z:";
  for (char c : host_path) out += c == '/' ? '\\' : c;
  return out;
}

namespace {

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

AgentArgv::AgentArgv(const std::vector<std::string>& args) : words_(agent_command().prefix) {
  words_.insert(words_.end(), args.begin(), args.end());
  for (auto& w : words_) argv_.push_back(w.data());
  argv_.push_back(nullptr);
}

void AgentArgv::exec() {
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  ::execvp(argv_[0], argv_.data());
  ::_exit(127);
}

AgentResult run_agent_process(const RunOptions& o) {
  int in_pipe[2] = {-1, -1}, out_pipe[2], err_pipe[2];
  if (o.stdin_fd < 0 && ::pipe(in_pipe) != 0) throw std::runtime_error("pipe");
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe");

  AgentArgv argv(o.args);

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(o.stdin_fd >= 0 ? o.stdin_fd : in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    const char* home_var = agent_is_windows() ? "WINEHOME" : "HOME";
    if (o.unset_home) {
      ::unsetenv("HOME");
      ::unsetenv("WINEHOME");
    } else if (o.home) {
      ::setenv(home_var, o.home->c_str(), 1);
    }
    if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
    for (auto [resource, limit] : {std::pair{RLIMIT_AS, o.address_space_limit}, {RLIMIT_FSIZE, o.file_size_limit}}) {
      rlimit rl{limit.value_or(RLIM_INFINITY), limit.value_or(RLIM_INFINITY)};
      if (limit && ::setrlimit(resource, &rl) != 0) ::_exit(125);
    }
    argv.exec();
  }

  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (o.close_stdout) {
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  int in_fd = -1;
  if (o.stdin_fd < 0) {
    ::close(in_pipe[0]);
    in_fd = in_pipe[1];
    set_nonblocking(in_fd);
  }
  AgentResult r;
  std::size_t written = 0;
  if (in_fd >= 0 && o.input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  // A closed reading end makes the agent's write fail instead of raising
  // SIGPIPE in us when we feed its input.
  ::signal(SIGPIPE, SIG_IGN);
  // The agent's own exit ends the wait too: a process it started (Wine's
  // background services, say) may hold its output pipes open for ever.
  int status = 0;
  bool reaped = false;
  while (out_fd >= 0 || err_fd >= 0 || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    int ready = ::poll(fds, n, reaped ? 200 : 100);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll");
    }
    if (ready == 0) {
      if (reaped) break;  // exited, and nothing more arrives
      reaped = ::waitpid(pid, &status, WNOHANG) == pid;
      continue;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (fd == in_fd) {
        ssize_t w = ::write(in_fd, o.input.data() + written, std::min<std::size_t>(o.input.size() - written, 1 << 16));
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN) written = o.input.size();  // the agent stopped reading
        if (written == o.input.size()) {
          ::close(in_fd);
          in_fd = -1;
        }
      } else {
        char buf[65536];
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) {
          (fd == out_fd ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          ::close(fd);
          (fd == out_fd ? out_fd : err_fd) = -1;
        }
      }
    }
    // Once both outputs are closed the agent is done, whatever it read.
    if (out_fd < 0 && err_fd < 0 && in_fd >= 0) {
      ::close(in_fd);
      in_fd = -1;
    }
  }
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) ::close(fd);
  }
  while (!reaped && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/brevok-test-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Make everything removable again, whatever a test left read-only.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) ::chmod(it->path().c_str(), 0755);
  }
  ::chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(path.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  out += json_escaped(s);
  out += '"';
  return out;
}

}  // namespace brevok::testing
