// A fresh directory under the system's temporary directory, removed with all it holds afterwards, and whole
// files put into it and got back.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

namespace brevok::testing {

class Scratch {
 public:
  Scratch() {
    static std::mt19937_64 rng(std::random_device{}());
    do path_ = (std::filesystem::temp_directory_path() / ("brevok-test-" + std::to_string(rng()))).string();
    while (!std::filesystem::create_directory(path_));
  }
  ~Scratch() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  Scratch(Scratch&&) = delete;  // and so never copied either
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  const std::string& path() const { return path_; }
 private:
  std::string path_;
};

inline void put(const std::string& path, std::string_view s) { std::ofstream(path, std::ios::binary) << s; }
inline std::optional<std::string> get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}
inline std::ptrdiff_t entries(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir), {});
}

}  // namespace brevok::testing
