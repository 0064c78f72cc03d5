// A fresh directory under the system's temporary directory for one test,
// removed with its content afterwards.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <string_view>

namespace brevok::testing {

class Scratch {
 public:
  Scratch() {
    static std::mt19937_64 rng(std::random_device{}());
    auto fresh = [&] { return std::filesystem::temp_directory_path() / ("brevok-test-" + std::to_string(rng())); };
    while (!std::filesystem::create_directory(path_ = fresh().string())) {}
  }
  ~Scratch() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace brevok::testing
