// The process entry: the arguments as they come.
#include <string_view>
#include <vector>

#include "process_entry.h"

int main(int argc, char** argv) {
  return brevok::run_process(brevok::native_platform(), [&]() -> brevok::Result<std::vector<std::string_view>> {
    return std::vector<std::string_view>(argv + (argc > 0 ? 1 : 0), argv + argc);
  });
}
