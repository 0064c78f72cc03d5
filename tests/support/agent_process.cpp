#include "agent_process.h"
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>

namespace brevok::testing {

bool agent_is_windows() {
  return std::getenv("BREVOK_AGENT_PLATFORM") && std::string_view(std::getenv("BREVOK_AGENT_PLATFORM")) == "windows";
}

std::string agent_path(std::string p) {
  if (agent_is_windows() && p.starts_with('/')) p = "Z:" + p;
  for (char& c : p) c = agent_is_windows() && c == '/' ? '\\' : c;
  return p;
}

pid_t spawn_agent(const RunOptions& o, int in, int out, int err) {
  const char* agent = std::getenv("BREVOK_AGENT");
  std::istringstream words(agent != nullptr && *agent != '\0' ? agent : BREVOK_AGENT_BINARY);
  std::vector<std::string> args;
  for (std::string w; words >> w;) args.push_back(w);
  args.insert(args.end(), o.args.begin(), o.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const rlimit fsize{o.file_size_limit.value_or(RLIM_INFINITY), o.file_size_limit.value_or(RLIM_INFINITY)};
  const rlimit as{o.address_limit.value_or(RLIM_INFINITY), o.address_limit.value_or(RLIM_INFINITY)};
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(in, 0), ::dup2(out, 1), ::dup2(err, 2);
  // Ignored signals stay ignored across exec: start the agent as a shell would.
  ::signal(SIGPIPE, SIG_DFL), ::signal(SIGXFSZ, SIG_DFL), ::umask(022);
  if (o.home) ::setenv(agent_is_windows() ? "WINEHOME" : "HOME", o.home->c_str(), 1);
  if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
  if (o.file_size_limit && ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) ::_exit(125);
  if (o.address_limit && ::setrlimit(RLIMIT_AS, &as) != 0) ::_exit(125);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

AgentResult run_agent(const RunOptions& o) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) std::abort();
  const pid_t pid = spawn_agent(o, in[0], out[1], err[1]);
  ::close(in[0]), ::close(out[1]), ::close(err[1]);
  if (o.no_reader) ::close(out[0]), out[0] = -1;
  ::signal(SIGPIPE, SIG_IGN);  // an agent that stops reading fails the write instead
  std::thread feeder([&] {
    for (ssize_t n = 0, fed = 0; fed < std::ssize(o.input) && (n >= 0 || errno == EINTR); fed += n > 0 ? n : 0) {
      n = ::write(in[1], o.input.data() + fed, o.input.size() - static_cast<std::size_t>(fed));
    }
    ::close(in[1]);
  });
  AgentResult r;
  pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int status = 0, reaped = 0;
  // A hang fails its case instead of blocking the whole run.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (p[0].fd >= 0 || p[1].fd >= 0) {
    const int ready = ::poll(p, 2, 100);
    // Wine's background services may hold the output pipes open for ever:
    // the agent's own exit, then quiet pipes, end the wait.
    if (ready == 0 && reaped) break;
    if (ready == 0) reaped = ::waitpid(pid, &status, WNOHANG) == pid;
    if (ready == 0 && !reaped && std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
    for (int i = 0; i < 2 && ready > 0; ++i) {
      char buf[65536];
      const ssize_t n = p[i].revents != 0 ? ::read(p[i].fd, buf, sizeof buf) : -2;
      if (n > 0) (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
      if (n == 0 || (n == -1 && errno != EINTR)) ::close(p[i].fd), p[i].fd = -1;
    }
  }
  for (const pollfd& q : p) q.fd >= 0 && ::close(q.fd);
  if (!reaped) ::waitpid(pid, &status, 0);
  feeder.join();
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1, r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return r;
}

}  // namespace brevok::testing
