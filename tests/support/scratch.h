// A scratch directory for unit tests that touch the real file system, and
// small helpers to put and get whole files in it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace brevok::testing {

// A fresh directory under the system's temporary directory, removed with
// its content afterwards.
class Scratch {
 public:
  Scratch() {
    static std::mt19937_64 rng(std::random_device{}());
    for (;;) {
      path_ = (std::filesystem::temp_directory_path() / ("brevok-test-" + std::to_string(rng()))).string();
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void put(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace brevok::testing
