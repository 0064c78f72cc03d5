// The three operations ("readPreview", "write", "edit"), each from a decoded
// request to a complete response; the scanning of contents under them is
// text_scan's.
#pragma once

#include <cstdint>

#include "error.h"
#include "platform.h"
#include "protocol.h"

namespace brevok {

inline constexpr std::size_t PREVIEW_PROBE_BYTES = 8192;
inline constexpr std::uint64_t DEFAULT_PREVIEW_OFFSET = 1;
inline constexpr std::uint64_t DEFAULT_PREVIEW_LIMIT = 2000;

Result<FileAgentResponse> read_preview(Platform& platform, const FileAgentRequest& request);
Result<FileAgentResponse> write_file(Platform& platform, const FileAgentRequest& request);
Result<FileAgentResponse> edit_file(Platform& platform, const FileAgentRequest& request);

}  // namespace brevok
