// The agent's main module: the command line and the one request cycle that
// turns standard input into one response line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error.h"

namespace brevok {

inline constexpr std::string_view PROGRAM_NAME = "brevok-file-agent";
inline constexpr std::uint64_t MAX_REQUEST_BYTES = 134217728;  // 128 MiB

class Platform;
struct FileAgentResponse;

// The response of a failed request: ok false, the operation echoed, the
// message in `error`, everything else empty.
FileAgentResponse error_response(std::string operation, std::string message);

// One run of the agent: examines the arguments (after the program name),
// reads and answers one request. Returns an error for every failure around
// the request; the caller reports it on standard error and exits with 1.
Result<void> run_agent(std::span<const std::string_view> args, Platform& platform);

}  // namespace brevok
