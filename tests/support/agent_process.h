// Runs the agent as the controlling tool does. BREVOK_AGENT, the command (words separated by spaces;
// default: the binary built with these tests), and BREVOK_AGENT_PLATFORM ("windows" for an agent under
// Wine) let the same cases run against the native, sanitized, emulated and Windows builds.
#pragma once
#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

#include "scratch.h"

namespace brevok::testing {

bool agent_is_windows();
std::string agent_path(std::string host_path);  // as the agent sees it (Wine: Z: and backslashes)

struct RunOptions {
  std::vector<std::string> args{};
  std::string input{}, cwd{};
  std::optional<std::string> home{};               // HOME, as a path of this machine
  std::optional<unsigned long> file_size_limit{};  // RLIMIT_FSIZE, in bytes
  std::optional<unsigned long> address_limit{};    // RLIMIT_AS, in bytes
  bool no_reader = false;                          // nobody reads standard output
};
struct AgentResult {
  std::string out, err;
  int exit_status = -1, signal = 0;  // SIGKILL too when it ran past the time allowed
};
pid_t spawn_agent(const RunOptions& options, int in, int out, int err);  // on these standard streams
AgentResult run_agent(const RunOptions& options);

}  // namespace brevok::testing
