// A fresh directory under the system's temporary directory, removed with all it holds afterwards.
#pragma once

#include <filesystem>
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

}  // namespace brevok::testing
