// The process entry on Windows: the arguments arrive as UTF-16 and go to
// the agent as UTF-8; a failure around the request is reported on standard
// error with exit status 1.
#include <string>
#include <string_view>
#include <vector>

#include "../file_agent.h"
#include "../platform-win32.h"
#include "../platform.h"

int wmain(int argc, wchar_t** argv) {
  brevok::Platform& platform = brevok::native_platform();
  auto result = [&]() -> brevok::Result<void> {
    auto args = brevok::win32::utf8_arguments(argc, argv);
    if (!args) return std::unexpected(std::move(args.error()));
    std::vector<std::string_view> views(args->begin(), args->end());
    return brevok::run_agent(views, platform);
  }();
  if (result) return 0;
  std::string line = std::string(brevok::PROGRAM_NAME) + ": " + result.error().full() + "\n";
  (void)platform.write_stderr(line.data(), line.size());
  return 1;
}
