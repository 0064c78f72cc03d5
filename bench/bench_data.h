// Data shared by the benchmark tool and the micro-benchmarks: the same
// generators make the files of bench/run and the inputs of the hot-function
// measurements, so the two speak of the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brevok::bench {

// A small deterministic generator; the data must not change between runs.
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : state_(seed) {}
  std::uint32_t next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  // Uniform enough in [0, n) for data generation.
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>((std::uint64_t(next()) * n) >> 31); }

 private:
  std::uint64_t state_;
};

// Text of log-like lines, each `width` bytes with its line feed, cut to
// exactly `size` bytes.
inline std::string log_lines(std::size_t size, std::size_t width) {
  std::string out;
  out.reserve(size);
  static constexpr std::string_view kWords[] = {"GET", "PUT", "worker", "request", "handled", "cache", "miss",
                                                "ok",  "user", "session", "upstream", "timeout", "retry", "db"};
  Lcg rng(42);
  std::uint64_t n = 0;
  while (out.size() < size) {
    std::string line = "2026-12-06T08:" + std::to_string(10 + n % 50) + ":" + std::to_string(10 + n % 49) +
                       "Z INFO " + std::to_string(n);
    while (line.size() + 1 < width) {
      line += ' ';
      line += kWords[rng.below(std::size(kWords))];
    }
    line.resize(width - 1);
    line += '\n';
    out += line;
    ++n;
  }
  out.resize(size);
  return out;
}

// A string member's text as it stands in a JSON request, and the `decoded`
// bytes it stands for: `size` decoded bytes of prose in which about 5% of
// the characters must be escaped (mostly line feeds, some tabs, quotation
// marks, reverse solidi and other control characters) and about 2% are
// multi-byte UTF-8, written raw.
inline std::string json_content(std::size_t size, std::string* decoded) {
  std::string json;
  json.reserve(size + size / 12);
  if (decoded != nullptr) {
    decoded->clear();
    decoded->reserve(size);
  }
  static constexpr std::string_view kMultiByte[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC3\xBC"};
  Lcg rng(7);
  std::size_t len = 0;
  auto emit = [&](std::string_view raw, std::string_view escaped) {
    json += escaped;
    if (decoded != nullptr) *decoded += raw;
    len += raw.size();
  };
  while (len < size) {
    std::uint32_t r = rng.below(1000);
    if (r < 50) {
      if (r < 30) {
        emit("\n", "\\n");
      } else if (r < 38) {
        emit("\t", "\\t");
      } else if (r < 44) {
        emit("\"", "\\\"");
      } else if (r < 48) {
        emit("\\", "\\\\");
      } else {
        emit("\x01", "\\u0001");
      }
    } else if (r < 70 && size - len >= 4) {
      std::string_view s = kMultiByte[r % 4];
      emit(s, s);
    } else if (r < 230) {
      emit(" ", " ");
    } else {
      char c = static_cast<char>('a' + r % 26);
      emit(std::string_view(&c, 1), std::string_view(&c, 1));
    }
  }
  return json;
}

}  // namespace brevok::bench
