// The body that both process entries share (main, and wmain on Windows):
// runs the agent and reports a failure around the request on standard error
// with exit status 1.
#pragma once

#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../file_agent.h"
#include "../platform.h"

namespace brevok {

// `arguments()` gives the process arguments after the program name, as a
// Result of a vector of UTF-8 texts; it is called inside, so that a failure
// to get them, running out of memory included, ends as any other failure
// does. Returns the exit status.
template <class Arguments>
int run_process(Platform& platform, Arguments&& arguments) {
  try {
    Result<void> result = [&]() -> Result<void> {
      auto args = std::forward<Arguments>(arguments)();
      if (!args) return std::unexpected(std::move(args.error()));
      std::vector<std::string_view> views(args->begin(), args->end());
      return run_agent(views, platform);
    }();
    if (result) return 0;
    std::string line = std::string(PROGRAM_NAME) + ": " + result.error().full() + "\n";
    (void)platform.write_stderr(line.data(), line.size());
  } catch (const std::bad_alloc&) {
    // Every run ends with one outcome, even when not even an error message
    // can be built: this one needs no memory.
    static constexpr char kLine[] = "brevok-file-agent: out of memory\n";
    (void)platform.write_stderr(kLine, sizeof kLine - 1);
  }
  return 1;
}

}  // namespace brevok
