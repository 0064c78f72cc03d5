// The operations below the wire: the preview's end line and cut, the
// streaming preview against a whole-file reference however the reads are
// split, the sizes and copying of a replacement, the clipping of diff
// texts, and the way running out of memory ends an operation.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "fault_platform.h"
#include "scratch.h"
#include "operations.h"
#include "remote_fs.h"

namespace brevok {
namespace {

using testing::FaultPlatform;
using testing::Op;

constexpr std::uint64_t MAX64 = std::numeric_limits<std::uint64_t>::max();

using testing::get;
using testing::put;
using testing::Scratch;

std::size_t entries(const std::string& dir) {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

// --- preview_end_line ----------------------------------------------------

struct EndLineCase {
  std::uint64_t offset, limit, end;
};

void PrintTo(const EndLineCase& c, std::ostream* os) { *os << "offset " << c.offset << ", limit " << c.limit; }

class PreviewEndLine : public ::testing::TestWithParam<EndLineCase> {};

TEST_P(PreviewEndLine, IsOffsetMinusOnePlusLimitSaturating) {
  EXPECT_EQ(preview_end_line(GetParam().offset, GetParam().limit), GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(Table, PreviewEndLine,
                         ::testing::Values(EndLineCase{1, 2000, 2000}, EndLineCase{0, 2000, 2000},
                                           EndLineCase{1, 0, 0}, EndLineCase{0, 0, 0}, EndLineCase{5, 0, 4},
                                           EndLineCase{3, 2, 4}, EndLineCase{MAX64, MAX64, MAX64},
                                           EndLineCase{MAX64, 1, MAX64}, EndLineCase{MAX64, 0, MAX64 - 1},
                                           EndLineCase{2, MAX64, MAX64}, EndLineCase{0, MAX64, MAX64}));

// --- find_nth_line_feed --------------------------------------------------

// Counting runs in blocks; the wanted line feed sits on either side of a
// block edge and on it.
TEST(FindNthLineFeed, FindsLineFeedsAroundBlockEdges) {
  for (std::size_t at : {65534u, 65535u, 65536u, 65537u, 131071u, 131072u}) {
    std::string bytes(200000, 'x');
    bytes[100] = '\n';
    bytes[at] = '\n';
    bytes[199999] = '\n';
    std::uint64_t wanted = 2;
    EXPECT_EQ(find_nth_line_feed(bytes, wanted), at + 1) << at;
    wanted = 4;
    EXPECT_EQ(find_nth_line_feed(bytes, wanted), std::nullopt);
    EXPECT_EQ(wanted, 1u);
  }
}

// --- read_preview, streamed, against the whole file ----------------------

struct Preview {
  bool binary;
  std::optional<std::string> data;
  std::uint64_t total;
  bool operator==(const Preview&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Preview& p) {
  return os << (p.binary ? "binary " : "text ") << (p.data ? std::to_string(p.data->size()) + " bytes" : "null")
            << " of " << p.total;
}

// The preview as the whole file determines it.
Preview reference_preview(std::string_view file, std::uint64_t offset, std::uint64_t limit) {
  if (file.substr(0, PREVIEW_PROBE_BYTES).find('\0') != std::string_view::npos) return {true, std::nullopt, file.size()};
  std::uint64_t end = (offset == 0 ? 0 : offset - 1);
  end = end > MAX64 - limit ? MAX64 : end + limit;
  std::size_t p = 0;
  std::uint64_t seen = 0;
  while (seen < end && p < file.size()) {
    if (file[p++] == '\n') ++seen;
  }
  if (seen < end) p = file.size();
  return {false, std::string(file.substr(0, p)), file.size()};
}

struct NamedContent {
  std::string name;
  std::string bytes;
};

std::vector<NamedContent> preview_contents() {
  std::vector<NamedContent> c;
  c.push_back({"empty", ""});
  c.push_back({"five lines", "a\nb\nc\nd\ne\n"});
  c.push_back({"no final line feed", "a\nb"});
  c.push_back({"crlf", "a\r\nb\r\n"});
  c.push_back({"single nul", std::string(1, '\0')});
  auto lines = [](std::size_t n, std::size_t width) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += std::string(width - 1, static_cast<char>('a' + i % 26)) + "\n";
    return s;
  };
  std::string s = lines(200, 50);
  s[8191] = '\0';
  c.push_back({"nul is byte 8192", s});
  s = lines(200, 50);
  s[8192] = '\0';
  c.push_back({"nul is byte 8193", s});
  s = std::string(8192, 'x');
  s.back() = '\0';
  c.push_back({"8192 bytes ending in nul", s});
  c.push_back({"8191 bytes", std::string(8190, 'x') + "\n"});
  c.push_back({"no line feed", std::string(20000, 'y')});
  c.push_back({"not utf-8", "\xff\xfe\xc3\n\x80\x01\x7f\n"});
  // Longer than a read chunk, so that the cut and the counting of the rest
  // cross chunk edges.
  c.push_back({"5 MiB of lines", lines(52429, 100) + "tail"});
  return c;
}

struct Window {
  std::uint64_t offset, limit;
};

struct ReadPlan {
  std::optional<std::size_t> read_size;       // at most this much per read
  std::optional<std::uint64_t> meta_size;     // what the metadata claims
};

// Every content and window, read in pieces of many sizes and with metadata
// that tells the truth or a size that cannot be it (0, or less than the
// preview has read): the streamed preview equals the whole-file reference.
TEST(ReadPreview, StreamedPreviewEqualsWholeFilePreview) {
  Scratch dir;
  const Window windows[] = {{1, 2000}, {0, 1}, {1, 0}, {5, 0}, {3, 2}, {MAX64, MAX64}, {1, 30000}, {40000, 1}};
  const ReadPlan plans[] = {{std::nullopt, std::nullopt}, {std::nullopt, 0}, {std::nullopt, 10}, {4097, std::nullopt},
                            {8191, 0}, {1u << 20, std::nullopt}, {1, 0}};
  for (const NamedContent& content : preview_contents()) {
    put(dir / "f", content.bytes);
    for (Window w : windows) {
      const Preview expected = reference_preview(content.bytes, w.offset, w.limit);
      for (const ReadPlan& plan : plans) {
        // One byte per read is slow; two windows are enough for it.
        if (plan.read_size == 1u && (content.bytes.size() > 30000 || w.limit > 1)) continue;
        FaultPlatform fp(native_platform());
        fp.max_read = plan.read_size;
        fp.stat_size_override = plan.meta_size;
        FileAgentRequest req;
        req.path = dir / "f";
        req.offset = w.offset;
        req.limit = w.limit;
        auto r = read_preview(fp, req);
        ASSERT_TRUE(r.has_value()) << r.error().full();
        Preview got{r->binary, r->data ? std::optional<std::string>(std::string(r->data->view())) : std::nullopt,
                    *r->total_bytes};
        ASSERT_EQ(got, expected) << content.name << ", offset " << w.offset << ", limit " << w.limit
                                 << ", reads of " << (plan.read_size ? std::to_string(*plan.read_size) : "any size")
                                 << ", metadata size "
                                 << (plan.meta_size ? std::to_string(*plan.meta_size) : "real");
        EXPECT_EQ(r->bytes, content.bytes.size());
        EXPECT_TRUE(r->ok);
        EXPECT_EQ(r->operation, "readPreview");
      }
    }
  }
}

struct ClaimCase {
  std::string name;
  std::optional<std::uint64_t> claimed;  // the open file's size, as its metadata says
  std::uint64_t limit;
  std::optional<std::uint64_t> total;  // nullopt: the true length
};

void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class ReadPreviewSize : public ::testing::TestWithParam<ClaimCase> {};

// Once the preview is settled, the rest of the file is taken at the size
// its metadata gives now (the file may have grown or shrunk since the cut),
// unless that size cannot be the length: then the rest is read. A pseudo-file
// of many kilobytes reports 0, and one that claims a size must not be
// believed either.
TEST_P(ReadPreviewSize, TakesTheRestAtTheReportedSizeWhenItCanBeTrue) {
  const ClaimCase& c = GetParam();
  Scratch dir;
  std::string path = dir / "f";
  if (c.name.starts_with("Proc")) {
    // Linux's own pseudo-file; elsewhere (Wine shows the host's) nothing
    // tells its file system apart.
    path = "/proc/kallsyms";
    if (kNativePathStyle != PathStyle::kPosix || !std::filesystem::exists(path)) {
      GTEST_SKIP() << "no Linux " << path << " here";
    }
  } else {
    std::string lines;
    for (int i = 0; lines.size() < (1u << 20); ++i) lines += "line " + std::to_string(i) + "\n";
    put(path, lines);
  }
  const std::string whole = get(path);
  ASSERT_GT(whole.size(), 256u << 10);
  FaultPlatform fp(native_platform());
  fp.stat_size_override = c.claimed;
  FileAgentRequest req;
  req.path = path;
  req.limit = c.limit;
  auto r = read_preview(fp, req);
  ASSERT_TRUE(r.has_value()) << r.error().full();
  const Preview expected = reference_preview(whole, 1, c.limit);
  EXPECT_EQ(r->data->view(), *expected.data);
  EXPECT_EQ(*r->total_bytes, c.total.value_or(whole.size()));
  EXPECT_EQ(r->bytes, *r->total_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Claims, ReadPreviewSize,
    ::testing::Values(ClaimCase{"Grown", (1u << 20) + 5000, 1, (1u << 20) + 5000},
                      ClaimCase{"ShrunkPastTheCut", 300000, 2000, 300000},
                      ClaimCase{"BelowWhatWasRead", 100, 2000, std::nullopt},
                      ClaimCase{"Zero", 0, 1, std::nullopt},
                      // The whole file is read: its end was seen, whatever is claimed.
                      ClaimCase{"GrownWholeFile", (1u << 20) + 5000, MAX64, std::nullopt},
                      ClaimCase{"ProcAsReported", std::nullopt, 1, std::nullopt},
                      ClaimCase{"ProcClaimingMore", std::uint64_t(1) << 40, 1, std::nullopt}),
    [](const auto& info) { return info.param.name; });

struct PreviewFault {
  Op op;
  int occurrence;
  std::string outer;  // "{}" stands for the path
};

void PrintTo(const PreviewFault& c, std::ostream* os) { *os << testing::op_name(c.op) << " #" << c.occurrence; }

class ReadPreviewFailure : public ::testing::TestWithParam<PreviewFault> {};

// A failure while the preview reads or sizes the file fails the preview.
TEST_P(ReadPreviewFailure, EndsWithTheFileSystemError) {
  Scratch dir;
  // The cut and the probe are settled by the first read; the file's size
  // is then asked of the open file (its second metadata query).
  put(dir / "f", "first\n" + std::string(3u << 20, 'y'));
  FaultPlatform fp(native_platform());
  fp.max_read = 1u << 20;
  fp.fail(GetParam().op, GetParam().occurrence, Error::os("Input/output error"));
  FileAgentRequest req;
  req.path = dir / "f";
  req.limit = 1;
  auto r = read_preview(fp, req);
  ASSERT_FALSE(r.has_value());
  std::string outer = GetParam().outer;
  outer.replace(outer.find("{}"), 2, dir / "f");
  EXPECT_EQ(r.error().full(), outer + ": Input/output error");
}

INSTANTIATE_TEST_SUITE_P(Steps, ReadPreviewFailure,
                         ::testing::Values(PreviewFault{Op::kStatHandle, 1, "stating remote file {}"},
                                           PreviewFault{Op::kOpenRead, 1, "reading remote file {}"},
                                           PreviewFault{Op::kRead, 1, "reading remote file {}"},
                                           PreviewFault{Op::kStatHandle, 2, "stating remote file {}"}));

// --- sizes and copying of a replacement ------------------------------------

struct SizeCase {
  std::uint64_t size, count, old_len, new_len, result;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.size << " bytes, " << c.count << " x " << c.old_len << " -> " << c.new_len;
}

class EditedSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(EditedSize, SaturatesAtEachStep) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(edited_size(c.size, c.count, c.old_len, c.new_len), c.result);
}

INSTANTIATE_TEST_SUITE_P(Table, EditedSize,
                         ::testing::Values(SizeCase{10, 2, 3, 1, 6}, SizeCase{10, 0, 3, 5, 10}, SizeCase{4, 2, 2, 0, 0},
                                           // The removed bytes exceed the size: stops at 0.
                                           SizeCase{3, 2, 3, 1, 2}, SizeCase{5, 2, MAX64 / 2 + 1, 0, 0},
                                           SizeCase{5, 3, MAX64, 7, 21},
                                           // Products and the sum saturate.
                                           SizeCase{0, MAX64, 1, MAX64, MAX64}, SizeCase{1, 2, 0, MAX64 / 2 + 1, MAX64},
                                           SizeCase{MAX64, 1, 0, 1, MAX64}, SizeCase{MAX64 - 1, 1, 0, 1, MAX64}));

struct ReplaceCase {
  std::string content;
  std::string old_string;
  std::uint64_t count;
  std::string replacement;
  std::string result;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.content) << " -> " << ::testing::PrintToString(c.result);
}

class ReplaceOccurrences : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceOccurrences, CopiesAroundEachOccurrence) {
  const ReplaceCase& c = GetParam();
  auto out = replace_occurrences(c.content, c.old_string, c.replacement, c.count);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->view(), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplaceOccurrences,
    ::testing::Values(ReplaceCase{"aaa", "aa", 1, "b", "ba"}, ReplaceCase{"aaaa", "aa", 2, "xyz", "xyzxyz"},
                      ReplaceCase{"aaaa", "aa", 2, "", ""}, ReplaceCase{"a-b-c", "-", 2, "\r\n", "a\r\nb\r\nc"},
                      ReplaceCase{"head.tail", ".", 1, "", "headtail"}, ReplaceCase{"xyz", "z", 1, "ZZ", "xyZZ"},
                      ReplaceCase{std::string("\0\xff\0", 3), "\xff", 1, "\xc3\xa9", std::string("\0\xc3\xa9\0", 4)}));

// --- clip_diff_text ----------------------------------------------------------

struct ClipCase {
  std::string name;
  std::string text;
  std::string clipped;
  bool cut;
};

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class ClipDiffText : public ::testing::TestWithParam<ClipCase> {};

TEST_P(ClipDiffText, CutsAtACharacterBoundaryWithEllipsis) {
  auto [text, cut] = clip_diff_text(GetParam().text);
  EXPECT_EQ(text, GetParam().clipped);
  EXPECT_EQ(cut, GetParam().cut);
  EXPECT_LE(text.size(), EDIT_DIFF_TEXT_LIMIT);
}

const std::string kEllipsis = "\xE2\x80\xA6";
std::string xs(std::size_t n) { return std::string(n, 'x'); }

INSTANTIATE_TEST_SUITE_P(
    Table, ClipDiffText,
    ::testing::Values(
        ClipCase{"Empty", "", "", false}, ClipCase{"Exactly2048", xs(2048), xs(2048), false},
        ClipCase{"Ascii2049", xs(2049), xs(2045) + kEllipsis, true},
        // A character of three bytes at 2044..2046 does not fit before the
        // ellipsis: the cut falls at 2044.
        ClipCase{"ThreeByteStraddles", xs(2044) + "\xE2\x82\xAC" + xs(10), xs(2044) + kEllipsis, true},
        // One that ends exactly at 2045 stays.
        ClipCase{"ThreeByteEndsAtCut", xs(2042) + "\xE2\x82\xAC" + xs(10), xs(2042) + "\xE2\x82\xAC" + kEllipsis,
                 true},
        ClipCase{"FourByteStraddles", xs(2043) + "\xF0\x9F\x98\x80" + xs(10), xs(2043) + kEllipsis, true},
        ClipCase{"TwoByteStraddles", xs(2044) + "\xC3\xA9" + xs(10), xs(2044) + kEllipsis, true},
        // Invalid bytes become U+FFFD first; three bytes each, they can push
        // a short text over the limit.
        ClipCase{"InvalidShort", "a\xff" "b", "a\xEF\xBF\xBD" "b", false},
        ClipCase{"InvalidGrowsPastLimit", xs(2046) + "\xff", xs(2045) + kEllipsis, true},
        ClipCase{"AllInvalid", std::string(700, '\xff'),
                 [] {
                   std::string s;
                   for (int i = 0; i < 681; ++i) s += "\xEF\xBF\xBD";
                   return s + "\xE2\x80\xA6";
                 }(),
                 true}),
    [](const auto& info) { return info.param.name; });

// --- running out of memory ---------------------------------------------------

// A size no allocation can satisfy, on both sides of the largest size the
// reader is willing to try.
class ImpossibleFileSize : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ImpossibleFileSize, ReadingEndsInOutOfMemory) {
  Scratch dir;
  put(dir / "f", "abc");
  FaultPlatform fp(native_platform());
  fp.stat_size_override = GetParam();
  auto r = read_remote_file(fp, dir / "f");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), "out of memory reading remote file " + (dir / "f"));
}

// The edit fails before anything is written: the file keeps its content
// and no temporary is left beside it.
TEST_P(ImpossibleFileSize, EditEndsInOutOfMemoryAndLeavesTheFile) {
  Scratch dir;
  put(dir / "f", "abc");
  FaultPlatform fp(native_platform());
  fp.stat_size_override = GetParam();
  FileAgentRequest req;
  req.path = dir / "f";
  req.old_string = "b";
  req.new_string = "B";
  auto r = edit_file(fp, req);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().outermost(), "out of memory reading remote file " + (dir / "f"));
  EXPECT_EQ(fp.calls(Op::kCreateExclusive), 0);
  EXPECT_EQ(get(dir / "f"), "abc");
  EXPECT_EQ(entries(dir.path()), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImpossibleFileSize,
                         ::testing::Values(std::uint64_t(1) << 62, MAX64 / 2 - 1, MAX64 / 2, MAX64));

#if defined(__linux__)
// An address-space limit makes the sanitizers' own allocator give up
// before the agent's code sees a failed allocation, and a user-mode
// emulator maps the guest's memory itself, past any such limit.
#if defined(__SANITIZE_ADDRESS__) || defined(BREVOK_UNDER_EMULATOR)
constexpr bool kAddressLimitWorks = false;
#else
constexpr bool kAddressLimitWorks = true;
#endif

// Runs `body` in a child process whose address space may grow by at most
// `headroom` bytes beyond what it holds at the start; returns the child's
// exit status (0 when `body` returned true).
int with_memory_headroom(std::size_t headroom, const std::function<bool()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    unsigned long pages = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    if (pages == 0) ::_exit(3);
    rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + headroom;
    rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) ::_exit(4);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

template <class R>
bool fails_with(const Result<R>& r, const std::string& message) {
  if (r.has_value()) {
    std::fprintf(stderr, "succeeded, expected \"%s\"\n", message.c_str());
    return false;
  }
  if (r.error().full() != message) std::fprintf(stderr, "failed with \"%s\"\n", r.error().full().c_str());
  return r.error().full() == message;
}

// The content is made when the case runs: parameters are built when the
// test program starts, and every run of it (one per test under ctest) would
// otherwise fill these 16 MiB strings.
struct MemoryCase {
  std::string name;
  std::string (*content)();
  std::string old_string;
  std::string new_string;
  std::size_t headroom;
  std::string message;  // "{}" stands for the path
};

void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class EditOutOfMemory : public ::testing::TestWithParam<MemoryCase> {};

// Whichever of the file or the new content does not fit, the edit ends in
// an error response and the file stays as it was.
TEST_P(EditOutOfMemory, EndsInAnErrorAndLeavesTheFile) {
  if (!kAddressLimitWorks) GTEST_SKIP() << "no address-space limit here";
  const MemoryCase& c = GetParam();
  const std::string content = c.content();
  Scratch dir;
  put(dir / "f", content);
  std::string message = c.message;
  message.replace(message.find("{}"), 2, dir / "f");
  FileAgentRequest req;
  req.path = dir / "f";
  req.old_string = c.old_string;
  req.new_string = c.new_string;
  req.replace_all = true;
  EXPECT_EQ(with_memory_headroom(c.headroom, [&] { return fails_with(edit_file(native_platform(), req), message); }), 0);
  EXPECT_TRUE(get(dir / "f") == content);
  EXPECT_EQ(entries(dir.path()), 1u);
}

std::string every_kib(std::size_t total) {
  std::string s(total, '.');
  for (std::size_t i = 0; i < total; i += 1024) s[i] = '#';
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Holdings, EditOutOfMemory,
    ::testing::Values(
        // 16 MiB of file with 4 MiB to spare.
        MemoryCase{"File", [] { return std::string(16u << 20, 'a'); }, "a", "b", 4u << 20,
                   "out of memory reading remote file {}"},
        // 16 Ki occurrences of one byte each become 16 KiB apiece: 256 MiB.
        MemoryCase{"NewContent", [] { return every_kib(16u << 20); }, "#", std::string(16u << 10, 'z'), 64u << 20,
                   "out of memory editing remote file {}"}),
    [](const auto& info) { return info.param.name; });

// Millions of one-byte occurrences: the edit holds the old and the new
// content and nothing that grows with their number, and its result is what
// a plain replacement byte by byte gives.
TEST(EditManyOccurrences, FitsBesideTheContentsAndEqualsAPlainReplacement) {
  std::string content(16u << 20, 'a');
  for (std::size_t i = 0; i < content.size(); i += 7) content[i] = '\n';
  for (const std::string replacement : {"", "b", "bc"}) {
    std::string expected;
    std::uint64_t count = 0;
    for (char c : content) {
      if (c == 'a') ++count;
      expected += c == 'a' ? replacement : std::string(1, c);
    }
    Scratch dir;
    put(dir / "f", content);
    FileAgentRequest req;
    req.path = dir / "f";
    req.old_string = "a";
    req.new_string = replacement;
    req.replace_all = true;
    auto edit = [&] {
      auto r = edit_file(native_platform(), req);
      return r.has_value() && r->replacements == count && r->diff->changes.size() == 16 && r->diff->truncated;
    };
    // Old and new content with 8 MiB to spare; a list of the offsets alone
    // would take 110 MiB.
    const std::size_t headroom = content.size() + expected.size() + (8u << 20);
    EXPECT_EQ(kAddressLimitWorks ? with_memory_headroom(headroom, edit) : (edit() ? 0 : 1), 0) << replacement;
    EXPECT_TRUE(get(dir / "f") == expected) << replacement;
  }
}

// The preview's buffer follows the cut, not the metadata: a file whose
// metadata claims a terabyte is previewed within a few megabytes.
TEST(ReadPreviewMemory, BufferIsNotSizedFromTheMetadata) {
  if (!kAddressLimitWorks) GTEST_SKIP() << "no address-space limit here";
  Scratch dir;
  put(dir / "f", "a\nb\n");
  FaultPlatform fp(native_platform());
  fp.stat_size_override = std::uint64_t(1) << 40;
  FileAgentRequest req;
  req.path = dir / "f";
  EXPECT_EQ(with_memory_headroom(4u << 20, [&] {
              auto r = read_preview(fp, req);
              return r.has_value() && r->data->view() == "a\nb\n" && r->total_bytes == 4u;
            }),
            0);
}
#endif

}  // namespace
}  // namespace brevok
