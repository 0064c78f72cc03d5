// UTF-8 checks of paths and diff texts.
#pragma once

#include <string>
#include <string_view>

namespace brevok {

bool is_valid_utf8(std::string_view bytes);
// The bytes as UTF-8 text, each maximal invalid subsequence replaced by
// U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace brevok
