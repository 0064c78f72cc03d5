// Runs the built agent as the controlling tool does: bytes on standard
// input, then standard output, standard error and the exit status.
//
// The agent is a command prefix taken from the environment, so the same
// cases run against the native binary and, say, a Windows build under Wine:
//   BREVOK_AGENT           the command, words separated by spaces
//                          (default: the binary built with these tests)
//   BREVOK_AGENT_PLATFORM  "posix" (default) or "windows"
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevok::testing {

enum class AgentPlatform { kPosix, kWindows };

struct AgentCommand {
  std::vector<std::string> prefix;
  AgentPlatform platform = AgentPlatform::kPosix;
};

const AgentCommand& agent_command();
bool agent_is_windows();

// A path of this machine as the agent sees it (Wine maps / to drive Z:).
std::string agent_path(std::string_view host_path);

// The agent's command line, the prefix and then `args`, in the form execvp
// takes; built before fork, so that the child does not allocate.
class AgentArgv {
 public:
  explicit AgentArgv(const std::vector<std::string>& args = {});
  AgentArgv(const AgentArgv&) = delete;
  AgentArgv& operator=(const AgentArgv&) = delete;
  // In a child whose standard streams are in place: closes every other
  // descriptor and runs the agent, or ends the child with status 127.
  [[noreturn]] void exec();

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

struct RunOptions {
  std::vector<std::string> args;
  std::string input;
  // Use this descriptor as standard input instead of a pipe fed `input`.
  int stdin_fd = -1;
  // Close the reading end of standard output before the agent writes.
  bool close_stdout = false;
  // nullopt: inherit; a value: set HOME to it; unset_home: remove it.
  std::optional<std::string> home;
  bool unset_home = false;
  std::string cwd;
  // Resource limits of the agent's process (RLIMIT_AS, RLIMIT_FSIZE), when
  // set.
  std::optional<unsigned long> address_space_limit;
  std::optional<unsigned long> file_size_limit;
};

struct AgentResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when ended by a signal
  int signal = 0;
};

AgentResult run_agent_process(const RunOptions& options);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view content);
// Names in a directory (not "." and ".."), sorted.
std::vector<std::string> list_dir(const std::string& path);

// A JSON string literal for `s` (test-side encoding of requests).
std::string json_string(std::string_view s);

}  // namespace brevok::testing
