// The process entry: runs the agent and reports a failure around the
// request on standard error with exit status 1.
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "../file_agent.h"
#include "../platform.h"

int main(int argc, char** argv) {
  brevok::Platform& platform = brevok::native_platform();
  try {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto result = brevok::run_agent(args, platform);
    if (result) return 0;
    std::string line = std::string(brevok::PROGRAM_NAME) + ": " + result.error().full() + "\n";
    (void)platform.write_stderr(line.data(), line.size());
  } catch (const std::bad_alloc&) {
    // Every run ends with one outcome, even when not even an error message
    // can be built: this one needs no memory.
    static constexpr char kLine[] = "brevok-file-agent: out of memory\n";
    (void)platform.write_stderr(kLine, sizeof kLine - 1);
  }
  return 1;
}
