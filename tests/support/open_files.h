// How many files the test process holds open right now, to show that a
// run closed everything it opened: its descriptors on POSIX (/proc/self/fd),
// its handles on Windows (GetProcessHandleCount; Wine 8 answers 0 whatever
// is open, which no process really has: that is "cannot tell").
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace brevok::testing {

// nullopt where the system cannot tell.
inline std::optional<std::size_t> count_open_files() {
#ifdef _WIN32
  DWORD n = 0;
  if (!::GetProcessHandleCount(::GetCurrentProcess(), &n) || n == 0) return std::nullopt;
  return n;
#else
  std::error_code ec;
  if (!std::filesystem::exists("/proc/self/fd", ec)) return std::nullopt;
  std::size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
#endif
}

}  // namespace brevok::testing
