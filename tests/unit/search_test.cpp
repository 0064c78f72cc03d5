// The occurrence search of an edit: Searcher (first/last-byte filter that
// hands over to an automaton when near-matches pile up) and
// for_each_occurrence, both checked against a plain scan.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "operations.h"

namespace brevok {
namespace {

// Compares at every position, resumes behind each match.
std::vector<std::uint64_t> naive_occurrences(std::string_view hay, std::string_view needle) {
  std::vector<std::uint64_t> out;
  std::size_t s = 0;
  while (hay.size() - s >= needle.size()) {
    std::size_t p = s;
    while (p + needle.size() <= hay.size() && hay.compare(p, needle.size(), needle) != 0) ++p;
    if (p + needle.size() > hay.size()) break;
    out.push_back(p);
    s = p + needle.size();
  }
  return out;
}

std::vector<std::uint64_t> occurrences(std::string_view hay, std::string_view needle) {
  std::vector<std::uint64_t> out;
  for_each_occurrence(hay, needle, [&](std::size_t at) { out.push_back(at); });
  return out;
}

std::size_t naive_find(std::string_view hay, std::string_view needle, std::size_t from) {
  if (from > hay.size()) return std::string_view::npos;
  for (std::size_t p = from; p + needle.size() <= hay.size(); ++p) {
    if (hay.compare(p, needle.size(), needle) == 0) return p;
  }
  return std::string_view::npos;
}

std::string rep(std::size_t n, char c) { return std::string(n, c); }

struct SearchCase {
  std::string name;
  std::string hay;
  std::string needle;
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class SearchTable : public ::testing::TestWithParam<SearchCase> {};

TEST_P(SearchTable, OccurrencesMatchPlainScan) {
  const SearchCase& c = GetParam();
  auto found = occurrences(c.hay, c.needle);
  EXPECT_EQ(found, naive_occurrences(c.hay, c.needle));
}

TEST_P(SearchTable, FindFromEveryStartMatchesPlainScan) {
  const SearchCase& c = GetParam();
  // Every start of a short haystack; of a long one a spread of starts and
  // all of the last ones, past the end included.
  const std::size_t n = c.hay.size();
  for (std::size_t from = 0; from <= n + 1; ++from) {
    if (n > 300 && from % 97 != 0 && from + 80 < n) continue;
    Searcher s(c.needle);
    ASSERT_EQ(s.find(c.hay, from), naive_find(c.hay, c.needle, from)) << "from " << from;
  }
}

// The last four cases exceed the filter's budget (first and last byte
// match at many places that fail in between), so the answer comes from the
// automaton, with the true match placed before, across and after the point
// where it takes over.
INSTANTIATE_TEST_SUITE_P(
    Tricky, SearchTable,
    ::testing::Values(
        SearchCase{"ThreeAsTwoAs", "aaa", "aa"}, SearchCase{"FourAsTwoAs", "aaaa", "aa"},
        SearchCase{"OverlapAba", "abababa", "aba"}, SearchCase{"NeedleIsHay", "needle", "needle"},
        SearchCase{"NeedleLonger", "abc", "abcd"}, SearchCase{"EmptyHay", "", "a"},
        SearchCase{"SingleByte", "xaxxa", "a"}, SearchCase{"TwoBytes", "abxab", "ab"},
        SearchCase{"AtVeryEnd", rep(100, 'x') + "needle", "needle"},
        SearchCase{"AtVeryStart", "needle" + rep(100, 'x'), "needle"},
        SearchCase{"AcrossSimdBlock", rep(13, 'x') + "abcdef" + rep(40, 'x'), "abcdef"},
        SearchCase{"LastByteOnlyAtEnd", rep(31, 'a') + "b", rep(5, 'a') + "b"},
        SearchCase{"ZeroBytes", std::string("a\0b\0\0b", 6), std::string("\0b", 2)},
        SearchCase{"HighBytes", "\xff\xfe\xff\xff\xfe", "\xff\xfe"},
        SearchCase{"CrLfNotLf", "a\r\nb\na\nb", "a\nb"},
        SearchCase{"PeriodicNeedle", "abababababababacabababababababababac", "ababac"},
        SearchCase{"AllNearMissesNoMatch", rep(5000, 'a'), rep(300, 'a') + "b" + rep(300, 'a')},
        SearchCase{"NearMissesThenMatch", rep(5000, 'a') + "b" + rep(300, 'a'), rep(300, 'a') + "b" + rep(300, 'a')},
        SearchCase{"NearMissesRepeatedMatches", rep(2000, 'a') + "ba" + rep(2000, 'a') + "baab" + rep(50, 'a'),
                   "aab" + rep(3, 'a')},
        SearchCase{"PeriodicNearMisses", [] {
                     std::string h;
                     for (int i = 0; i < 600; ++i) h += "ab";
                     return h + "c" + "abababab" + "ac";
                   }(),
                   "abababa" + std::string("bc")}),
    [](const auto& info) { return info.param.name; });

// The filter's budget runs out at a place that depends on the distance
// covered, so the hand-over is moved across the true match by varying the
// length of the near-miss run in front of it.
TEST(Searcher, HandOverAtEveryDistanceFromTheMatch) {
  const std::string needle = rep(20, 'a') + "b" + rep(20, 'a');
  for (std::size_t run = 0; run < 400; ++run) {
    std::string hay = rep(run, 'a') + "b" + rep(run % 7, 'a') + needle + rep(run % 5, 'a') + needle;
    auto found = occurrences(hay, needle);
    ASSERT_EQ(found, naive_occurrences(hay, needle)) << "run " << run;
  }
}

// A haystack that is a view into a longer buffer: a match that would need
// the bytes beyond the view's end must not be found. The needle is cut off
// at every offset of a 16-byte block and at every depth.
TEST(Searcher, NeverLooksPastTheEndOfTheView) {
  const std::string needles[] = {"ab", "xab", "xxxxxab", std::string("q").append(18, 'x').append("b")};
  for (const std::string& needle : needles) {
    for (std::size_t lead = 0; lead < 80; ++lead) {
      const std::string buffer = rep(lead, 'x') + needle;
      for (std::size_t cut = 1; cut < needle.size(); ++cut) {
        std::string_view hay(buffer.data(), buffer.size() - cut);
        auto found = occurrences(hay, needle);
        ASSERT_TRUE(found.empty()) << needle << " after " << lead << " bytes, " << cut << " cut off";
      }
    }
  }
}

TEST(Searcher, RandomSmallAlphabetsMatchPlainScan) {
  std::mt19937_64 rng(20240611);
  const std::string alphabets[] = {"ab", "abc", "a\n", std::string("\0\xff", 2)};
  for (int round = 0; round < 4000; ++round) {
    const std::string& alpha = alphabets[round % 4];
    std::uniform_int_distribution<std::size_t> pick(0, alpha.size() - 1);
    // Haystacks from empty to a few SIMD blocks and beyond; needles from one
    // byte to long enough to exhaust the filter's budget.
    std::size_t hay_len = std::uniform_int_distribution<std::size_t>(0, round % 10 == 0 ? 3000 : 200)(rng);
    std::size_t needle_len = std::uniform_int_distribution<std::size_t>(1, round % 3 == 0 ? 40 : 6)(rng);
    std::string hay, needle;
    for (std::size_t i = 0; i < hay_len; ++i) hay += alpha[pick(rng)];
    for (std::size_t i = 0; i < needle_len; ++i) needle += alpha[pick(rng)];
    // Mostly-uniform text gives long runs of near-matches.
    if (round % 5 == 0) {
      for (char& c : hay) c = (rng() % 50 == 0) ? alpha.back() : alpha[0];
      for (char& c : needle) c = (rng() % 8 == 0) ? alpha.back() : alpha[0];
    }
    // Plant copies so that matches are common too.
    if (round % 2 == 0 && hay.size() >= needle.size()) {
      std::size_t at = rng() % (hay.size() - needle.size() + 1);
      hay.replace(at, needle.size(), needle);
    }
    auto found = occurrences(hay, needle);
    ASSERT_EQ(found, naive_occurrences(hay, needle)) << "round " << round << " needle " << needle;
  }
}

// A few-thousand-byte needle against megabytes of near-matches: a search
// that compares at every position would take billions of byte comparisons;
// no time is measured, the answer has to be right.
TEST(Searcher, LongNeedleAgainstLargeNearMatchFile) {
  const std::string hay = rep(4u << 20, 'a');
  EXPECT_EQ(occurrences(hay, rep(3998, 'a') + "ba").size(), 0u);
  EXPECT_EQ(occurrences(hay, rep(3999, 'a') + "b").size(), 0u);
  EXPECT_EQ(occurrences(hay, rep(1, 'b') + rep(3999, 'a')).size(), 0u);

  std::string needle = rep(2000, 'a') + "b" + rep(2000, 'a');
  std::string with_match = hay + needle;
  auto found = occurrences(with_match, needle);
  // The run of a's in front of the b swallows the needle's head: the match
  // starts 2000 bytes before the b.
  EXPECT_EQ(found, std::vector<std::uint64_t>{hay.size()});
}

}  // namespace
}  // namespace brevok
