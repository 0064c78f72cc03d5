// The process entry: runs the agent and reports a failure around the
// request on standard error with exit status 1.
#include <string>
#include <string_view>
#include <vector>

#include "../file_agent.h"
#include "../platform.h"

int main(int argc, char** argv) {
  brevok::Platform& platform = brevok::native_platform();
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto result = brevok::run_agent(args, platform);
  if (result) return 0;
  std::string line = std::string(brevok::PROGRAM_NAME) + ": " + result.error().full() + "\n";
  (void)platform.write_stderr(line.data(), line.size());
  return 1;
}
