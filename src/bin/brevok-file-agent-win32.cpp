// The process entry on Windows: the arguments arrive as UTF-16 and go to
// the agent as UTF-8.
#include "../platform-win32.h"
#include "process_entry.h"

int wmain(int argc, wchar_t** argv) {
  return brevok::run_process(brevok::native_platform(), [&] { return brevok::win32::utf8_arguments(argc, argv); });
}
