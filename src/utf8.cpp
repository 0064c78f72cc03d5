#include "utf8.h"

namespace brevok {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when none starts there;
// `maximal` receives the length of the maximal subpart to replace.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& maximal) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  maximal = 1;
  if (c < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    unsigned char d = b(i + k);
    if (k == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) return 0;
    maximal = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t maximal;
    std::size_t n = utf8_sequence(s, i, maximal);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 16);
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t maximal;
    std::size_t n = utf8_sequence(s, i, maximal);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += maximal;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace brevok
