// Scanning of file contents as bytes, under the operations: the line feeds
// that end a preview, the occurrence search and replacement of an edit, and
// the edit's line changes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "byte_buffer.h"
#include "protocol.h"

namespace brevok {

inline constexpr std::size_t EDIT_DIFF_MAX_CHANGES = 16;
inline constexpr std::size_t EDIT_DIFF_TEXT_LIMIT = 2048;

// --- line feeds

// The last line of a preview: (offset - 1) + limit, saturating, with
// offset 0 counting as 1.
std::uint64_t preview_end_line(std::uint64_t offset, std::uint64_t limit);

// Where the search for the n-th line feed of some bytes came to.
struct NthLineFeed {
  std::optional<std::size_t> after = std::nullopt;  // the position just after it, when among the bytes
  std::uint64_t still_wanted = 0;                   // otherwise: n less the line feeds the bytes hold
};

// Looks for the `wanted`-th line feed (`wanted` at least 1) in `bytes`.
NthLineFeed find_nth_line_feed(std::string_view bytes, std::uint64_t wanted);

// --- occurrences

// Exact substring search with a linear worst case, for leftmost,
// non-overlapping occurrences.
class Searcher {
 public:
  explicit Searcher(std::string_view needle) : needle_(needle) {}
  // The first occurrence starting at or after `from`, or npos; an error
  // when memory runs out for the automaton's table.
  Result<std::size_t> find(std::string_view haystack, std::size_t from);

 private:
  Result<std::size_t> find_kmp(std::string_view haystack, std::size_t from);
  std::string_view needle_;
  std::vector<std::size_t> border_;  // built the first time it is needed
};

// Calls `found` with the start offset of each leftmost, non-overlapping
// occurrence of `needle` (not empty), in ascending order; nothing is kept
// between calls, so a caller holds only what it chooses to. Fails only
// when memory runs out for the automaton's table, built on demand.
template <class F>
Result<void> for_each_occurrence(std::string_view content, std::string_view needle, F&& found) {
  Searcher searcher(needle);
  for (std::size_t from = 0;;) {
    auto at = searcher.find(content, from);
    if (!at) return std::unexpected(std::move(at.error()));
    if (*at == std::string_view::npos) return {};
    found(*at);
    from = *at + needle.size();
  }
}

// Length after replacing `count` occurrences, each step saturating.
std::uint64_t edited_size(std::uint64_t size, std::uint64_t count, std::uint64_t old_len, std::uint64_t new_len);

// The content with every occurrence of `old_string` replaced, found again
// by a fresh search; `count` is their number, which sizes the result
// exactly.
Result<ByteBuffer> replace_occurrences(std::string_view content, std::string_view old_string,
                                              std::string_view new_string, std::uint64_t count);
// The same within the content's own bytes, for a `new_string` no longer
// than `old_string` (bytes only move towards the front); returns the new
// length (when memory runs out, the content is partly rewritten).
Result<std::size_t> replace_occurrences_in_place(char* content, std::size_t size, std::string_view old_string,
                                                        std::string_view new_string);

// --- line changes

// The text as valid UTF-8 cut to at most EDIT_DIFF_TEXT_LIMIT bytes at a
// character boundary, with "…" when cut; the flag tells whether it was.
std::pair<std::string, bool> clip_diff_text(std::string_view text);

// The line changes of an edit: `first` holds the start offsets of the
// first min(count, EDIT_DIFF_MAX_CHANGES) of its `count` occurrences.
EditDiff build_edit_diff(std::string_view content, std::span<const std::uint64_t> first, std::uint64_t count,
                         std::string_view old_string, std::string_view new_string);

}  // namespace brevok
