// An edit whose new string is no longer than the old one is made in the
// file's own buffer; the result must be what the copying replacement
// gives, whatever the occurrences and their neighbours.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "operations.h"

namespace brevok {
namespace {

std::string in_place(std::string content, std::string_view needle, const std::string& replacement) {
  content.resize(replace_occurrences_in_place(content.data(), content.size(), needle, replacement).value());
  return content;
}

TEST(ReplaceInPlace, EqualsTheCopyingReplacement) {
  std::mt19937 rng(99);
  const std::string alphabet = "ab\n";
  for (int round = 0; round < 3000; ++round) {
    std::string content(rng() % 40, '\0');
    for (char& c : content) c = alphabet[rng() % alphabet.size()];
    std::string needle(1 + rng() % 4, '\0');
    for (char& c : needle) c = alphabet[rng() % alphabet.size()];
    std::uint64_t count = 0;
    for_each_occurrence(content, needle, [&](std::size_t) { ++count; });
    for (std::size_t len = 0; len <= needle.size(); ++len) {
      std::string replacement(len, 'X');
      if (len > 0) replacement.front() = 'Y';
      auto copied = replace_occurrences(content, needle, replacement, count);
      ASSERT_TRUE(copied.has_value());
      ASSERT_EQ(in_place(content, needle, replacement), copied->view())
          << "content '" << content << "', needle '" << needle << "', replacement '" << replacement << "'";
    }
  }
}

}  // namespace
}  // namespace brevok
