#include "text_scan.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brevok {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

std::size_t count_line_feeds(const char* p, std::size_t n) {
  // Plain enough for the compiler to vectorise.
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += p[i] == '\n';
  return count;
}

}  // namespace

// ---------------------------------------------------------------------------
// line feeds

std::uint64_t preview_end_line(std::uint64_t offset, std::uint64_t limit) {
  std::uint64_t before = offset == 0 ? 0 : offset - 1;
  return saturating_add(before, limit);
}

NthLineFeed find_nth_line_feed(std::string_view bytes, std::uint64_t wanted) {
  constexpr std::size_t kBlock = 64 * 1024;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    std::size_t n = std::min(left, kBlock);
    std::size_t count = count_line_feeds(p, n);
    if (count < wanted) {
      wanted -= count;
    } else {
      const char* q = p;
      for (;;) {
        q = static_cast<const char*>(std::memchr(q, '\n', static_cast<std::size_t>(p + n - q)));
        ++q;
        if (--wanted == 0) return {.after = static_cast<std::size_t>(q - bytes.data())};
      }
    }
    p += n;
    left -= n;
  }
  return {.still_wanted = wanted};
}

// ---------------------------------------------------------------------------
// occurrences

Result<std::size_t> Searcher::find(std::string_view hay, std::size_t from) {
  const std::size_t m = needle_.size();
  const std::size_t n = hay.size();
  if (from > n || n - from < m) return std::string_view::npos;
  const char* h = hay.data();
  const char* nd = needle_.data();
  if (m == 1) {
    const void* p = std::memchr(h + from, nd[0], n - from);
    return p == nullptr ? std::string_view::npos : static_cast<std::size_t>(static_cast<const char*>(p) - h);
  }

  // Fast path: only positions whose first and last bytes match the
  // needle's are compared in full. Comparing is bounded by a budget
  // proportional to the distance covered; inputs that exceed it (long
  // runs of near-matches) continue with the linear-time automaton.
  const std::size_t last = n - m;  // the last possible start
  const char first_byte = nd[0];
  const char last_byte = nd[m - 1];
  std::size_t work = 0;
  auto over_budget = [&](std::size_t at) { return work > 2 * (at - from) + 2 * m; };
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i vf = _mm_set1_epi8(first_byte);
  const __m128i vl = _mm_set1_epi8(last_byte);
  while (i + 16 <= last + 1) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + m - 1));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, vf), _mm_cmpeq_epi8(b, vl))));
    while (mask != 0) {
      std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (std::memcmp(h + at + 1, nd + 1, m - 2) == 0) return at;
      work += m;
      if (over_budget(at)) return find_kmp(hay, at + 1);
      mask &= mask - 1;
    }
    i += 16;
  }
#endif
  while (i <= last) {
    const void* p = std::memchr(h + i, first_byte, last - i + 1);
    if (p == nullptr) return std::string_view::npos;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(p) - h);
    if (h[at + m - 1] == last_byte) {
      if (std::memcmp(h + at + 1, nd + 1, m - 2) == 0) return at;
      work += m;
      if (over_budget(at)) return find_kmp(hay, at + 1);
    }
    i = at + 1;
  }
  return std::string_view::npos;
}

// Knuth-Morris-Pratt from `from` with a fresh state: every earlier start
// has been ruled out already.
Result<std::size_t> Searcher::find_kmp(std::string_view hay, std::size_t from) {
  const std::size_t m = needle_.size();
  if (border_.empty()) {
    try {
      border_.assign(m, 0);
    } catch (const std::bad_alloc&) {
      return fail("out of memory");
    }
    std::size_t k = 0;
    for (std::size_t q = 1; q < m; ++q) {
      while (k > 0 && needle_[q] != needle_[k]) k = border_[k - 1];
      if (needle_[q] == needle_[k]) ++k;
      border_[q] = k;
    }
  }
  std::size_t k = 0;
  for (std::size_t i = from; i < hay.size(); ++i) {
    while (k > 0 && hay[i] != needle_[k]) k = border_[k - 1];
    if (hay[i] == needle_[k]) ++k;
    if (k == m) return i + 1 - m;
  }
  return std::string_view::npos;
}

std::uint64_t edited_size(std::uint64_t size, std::uint64_t count, std::uint64_t old_len, std::uint64_t new_len) {
  std::uint64_t removed = saturating_mul(count, old_len);
  std::uint64_t kept = size > removed ? size - removed : 0;
  return saturating_add(kept, saturating_mul(count, new_len));
}

namespace {

// Writes `content`, every occurrence of `old_string` replaced, from `out`
// on; returns the end of what was written. `out` may be `content` itself when `new_string` is no longer than
// `old_string`: the write position then never passes the read position,
// and each new string ends no later than the old one it replaces, so the
// search, which only looks at bytes from the read position on, sees the
// old content.
Result<char*> write_replaced(char* out, std::string_view content, std::string_view old_string,
                             std::string_view new_string) {
  char* w = out;
  std::size_t prev = 0;
  auto searched = for_each_occurrence(content, old_string, [&](std::size_t p) {
    if (w != content.data() + prev) std::memmove(w, content.data() + prev, p - prev);
    w += p - prev;
    std::memcpy(w, new_string.data(), new_string.size());
    w += new_string.size();
    prev = p + old_string.size();
  });
  if (!searched) return std::unexpected(std::move(searched.error()));
  if (w != content.data() + prev) std::memmove(w, content.data() + prev, content.size() - prev);
  return w + (content.size() - prev);
}

}  // namespace

Result<ByteBuffer> replace_occurrences(std::string_view content, std::string_view old_string,
                                      std::string_view new_string, std::uint64_t count) {
  std::uint64_t size = edited_size(content.size(), count, old_string.size(), new_string.size());
  ByteBuffer out;
  // Nothing is left (every byte was an occurrence and the replacement is
  // empty): an empty buffer has no storage to copy into, not even zero bytes.
  if (size == 0) return out;
  if (size >= SIZE_MAX) return fail("out of memory");
  if (auto r = out.allocate(static_cast<std::size_t>(size)); !r) return std::unexpected(std::move(r.error()));
  // The same search over the same bytes finds the `count` occurrences that
  // sized the buffer.
  auto end = write_replaced(out.data(), content, old_string, new_string);
  if (!end) return std::unexpected(std::move(end.error()));
  out.set_size(static_cast<std::size_t>(*end - out.data()));
  return out;
}

Result<std::size_t> replace_occurrences_in_place(char* content, std::size_t size, std::string_view old_string,
                                                 std::string_view new_string) {
  auto end = write_replaced(content, std::string_view(content, size), old_string, new_string);
  if (!end) return std::unexpected(std::move(end.error()));
  return static_cast<std::size_t>(*end - content);
}

// ---------------------------------------------------------------------------
// line changes

std::pair<std::string, bool> clip_diff_text(std::string_view text) {
  std::string s = utf8_lossy(text);
  if (s.size() <= EDIT_DIFF_TEXT_LIMIT) return {std::move(s), false};
  std::size_t k = EDIT_DIFF_TEXT_LIMIT - 3;
  while (k > 0 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
  s.resize(k);
  s += "\xE2\x80\xA6";  // …
  return {std::move(s), true};
}

EditDiff build_edit_diff(std::string_view content, std::span<const std::uint64_t> first, std::uint64_t count,
                         std::string_view old_string, std::string_view new_string) {
  EditDiff diff;
  diff.changes.reserve(first.size());
  diff.truncated = count > EDIT_DIFF_MAX_CHANGES;
  auto [removed, cut_removed] = clip_diff_text(old_string);
  auto [added, cut_added] = clip_diff_text(new_string);
  if (!first.empty() && (cut_removed || cut_added)) diff.truncated = true;
  // Line numbers are those of the old content; counting resumes where the
  // previous occurrence was, which gives the same numbers as counting from
  // the start each time.
  std::uint64_t line = 1;
  std::size_t counted = 0;
  for (std::uint64_t at : first) {
    std::size_t p = static_cast<std::size_t>(at);
    line += count_line_feeds(content.data() + counted, p - counted);
    counted = p;
    diff.changes.push_back(LineChange{line, removed, added});
  }
  return diff;
}

}  // namespace brevok
