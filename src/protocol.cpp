#include "protocol.h"

#include <boost/json/basic_parser.hpp>
#include <boost/json/serializer.hpp>
#include <boost/json/src.hpp>  // Boost.JSON is used header-only; this is its one home
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace brevok {

namespace {

namespace json = boost::json;

// The members in the order of the array form.
enum Member : int {
  kProtocol,
  kOperation,
  kPath,
  kOldString,
  kNewString,
  kReplaceAll,
  kContent,
  kCreateDirs,
  kOffset,
  kLimit,
  kMemberCount,
  kUnknown = -1,
};

constexpr std::string_view kMemberNames[kMemberCount] = {
    "protocol", "operation",  "path",       "oldString", "newString",
    "replaceAll", "content", "createDirs", "offset",    "limit",
};

enum class Kind { kString, kBool, kU32, kU64 };

constexpr Kind member_kind(int m) {
  switch (m) {
    case kProtocol:
      return Kind::kU32;
    case kReplaceAll:
    case kCreateDirs:
      return Kind::kBool;
    case kOffset:
    case kLimit:
      return Kind::kU64;
    default:
      return Kind::kString;
  }
}

constexpr std::string_view kind_text(Kind k) {
  switch (k) {
    case Kind::kString:
      return "a string";
    case Kind::kBool:
      return "a boolean";
    case Kind::kU32:
      return "an unsigned 32-bit integer";
    case Kind::kU64:
      return "an unsigned 64-bit integer";
  }
  return "";
}

int member_by_name(std::string_view name) {
  for (int m = 0; m < kMemberCount; ++m) {
    if (kMemberNames[m] == name) return m;
  }
  return kUnknown;
}

// Sink of basic_parser's events. It keeps only what the request needs:
// the ten members at the first level; everything inside unknown members is
// parsed by the library and dropped here.
class RequestHandler {
 public:
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  RequestHandler(const char* begin, const char* end) : in_begin_(begin), in_end_(end), last_seen_(begin) {}

  FileAgentRequest request;
  std::string message;  // our description of the failure, when we refused
  bool top_is_array = false;
  bool saw_top = false;
  unsigned elements = 0;
  unsigned seen = 0;  // bitmask of members present

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }

  bool on_object_begin(json::error_code& ec) { return open(false, ec); }
  bool on_object_end(std::size_t, json::error_code&) {
    --depth_;
    return true;
  }
  bool on_array_begin(json::error_code& ec) { return open(true, ec); }
  bool on_array_end(std::size_t, json::error_code&) {
    --depth_;
    return true;
  }

  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    if (depth_ == 1) append_key(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code& ec) {
    note_position(s);
    if (depth_ != 1) return true;
    append_key(s);
    member_ = key_too_long_ ? kUnknown : member_by_name(key_);
    key_.clear();
    key_too_long_ = false;
    if (member_ != kUnknown) {
      if (seen & (1u << member_)) {
        return refuse(ec, "duplicate field `" + std::string(kMemberNames[member_]) + "`");
      }
      seen |= 1u << member_;
    }
    return true;
  }

  bool on_string_part(json::string_view s, std::size_t, json::error_code& ec) {
    note_position(s);
    if (depth_ == 0) return refuse(ec, "invalid type: a string, expected struct FileAgentRequest");
    if (depth_ != 1) return true;
    if (!in_string_) {
      in_string_ = true;
      if (!begin_value("a string", Kind::kString, ec)) return false;
      if (target_ != nullptr) reserve_string(s);
    }
    if (target_ != nullptr) target_->append(s.data(), s.size());
    return true;
  }
  bool on_string(json::string_view s, std::size_t n, json::error_code& ec) {
    if (!on_string_part(s, n, ec)) return false;
    if (depth_ == 1) {
      in_string_ = false;
      if (target_ != nullptr) {
        // A generous reservation (see reserve_string) is given back when
        // most of it went unused.
        if (target_->capacity() - target_->size() > target_->size() / 8 + 4096) target_->shrink_to_fit();
        target_ = nullptr;
      }
    }
    return true;
  }

  bool on_number_part(json::string_view, json::error_code&) { return true; }
  bool on_int64(std::int64_t v, json::string_view s, json::error_code& ec) {
    note_position(s);
    if (!s.empty() && s[0] == '-') return scalar("a negative integer", ec);
    return on_unsigned(static_cast<std::uint64_t>(v), ec);
  }
  bool on_uint64(std::uint64_t v, json::string_view s, json::error_code& ec) {
    note_position(s);
    return on_unsigned(v, ec);
  }
  bool on_double(double, json::string_view s, json::error_code& ec) {
    note_position(s);
    return scalar("a floating point number", ec);
  }
  bool on_bool(bool b, json::error_code& ec) {
    if (!scalar("a boolean", ec, Kind::kBool)) return false;
    if (depth_ == 1 && value_member_ != kUnknown) (value_member_ == kReplaceAll ? request.replace_all : request.create_dirs) = b;
    return true;
  }
  bool on_null(json::error_code& ec) { return scalar("null", ec); }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  bool refuse(json::error_code& ec, std::string text) {
    message = std::move(text);
    ec = json::error::syntax;  // any code: `message` says what went wrong
    return false;
  }

  // The start of a value at the first level: which member it is for, and
  // whether its type fits. `kind` is the type the value has; a member
  // expecting another type is refused.
  bool begin_value(std::string_view what, std::optional<Kind> kind, json::error_code& ec) {
    value_member_ = kUnknown;
    target_ = nullptr;
    if (top_is_array) {
      if (elements == kMemberCount) {
        return refuse(ec, "invalid length " + std::to_string(kMemberCount + 1) +
                              " or more, expected struct FileAgentRequest with 10 elements");
      }
      value_member_ = static_cast<int>(elements++);
      seen |= 1u << value_member_;
    } else {
      value_member_ = member_;
    }
    if (value_member_ == kUnknown) return true;
    Kind want = member_kind(value_member_);
    if (!kind || *kind != want) {
      return refuse(ec, "invalid type: " + std::string(what) + ", expected " + std::string(kind_text(want)) +
                            " for `" + std::string(kMemberNames[value_member_]) + "`");
    }
    target_ = string_member(value_member_);
    return true;
  }

  std::string* string_member(int m) {
    switch (m) {
      case kOperation:
        return &request.operation;
      case kPath:
        return &request.path;
      case kOldString:
        return &request.old_string;
      case kNewString:
        return &request.new_string;
      case kContent:
        return &request.content;
      default:
        return nullptr;
    }
  }

  bool open(bool array, json::error_code& ec) {
    if (depth_ == 0) {
      top_is_array = array;
      saw_top = true;
    } else if (depth_ == 1) {
      if (!begin_value(array ? "an array" : "an object", std::nullopt, ec)) return false;
    }
    ++depth_;
    return true;
  }

  bool scalar(std::string_view what, json::error_code& ec, std::optional<Kind> kind = std::nullopt) {
    if (depth_ == 0) return refuse(ec, "invalid type: " + std::string(what) + ", expected struct FileAgentRequest");
    if (depth_ != 1) return true;
    return begin_value(what, kind, ec);
  }

  bool on_unsigned(std::uint64_t v, json::error_code& ec) {
    if (depth_ == 0) return refuse(ec, "invalid type: an integer, expected struct FileAgentRequest");
    if (depth_ != 1) return true;
    Kind kind = Kind::kU64;
    int m = top_is_array ? static_cast<int>(elements) : member_;
    if (m == kProtocol) kind = Kind::kU32;
    if (!begin_value("an integer", kind, ec)) return false;
    switch (value_member_) {
      case kProtocol:
        if (v > std::numeric_limits<std::uint32_t>::max()) {
          return refuse(ec, "invalid value: integer `" + std::to_string(v) +
                                "`, expected an unsigned 32-bit integer for `protocol`");
        }
        request.protocol = static_cast<std::uint32_t>(v);
        break;
      case kOffset:
        request.offset = v;
        break;
      case kLimit:
        request.limit = v;
        break;
      default:
        break;
    }
    return true;
  }

  void append_key(json::string_view s) {
    // No member name is longer than ten bytes; a longer key is unknown and
    // need not be kept.
    if (key_too_long_ || key_.size() + s.size() > 16) {
      key_too_long_ = true;
      return;
    }
    key_.append(s.data(), s.size());
  }

  // Views that point into the input tell how far the parser has come.
  void note_position(json::string_view s) {
    if (s.data() >= in_begin_ && s.data() <= in_end_) last_seen_ = s.data() + s.size();
  }

  // Reserves the member's string once. The raw text of a JSON string is
  // never shorter than what it decodes to, so the distance to its closing
  // quote bounds it; when the string began with an escape the first part is
  // not a view of the input, and the rest of the input bounds it instead.
  void reserve_string(json::string_view first) {
    const char* p = first.data();
    std::size_t bound;
    if (p >= in_begin_ && p <= in_end_) {
      const char* q = p;
      for (;;) {
        q = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(in_end_ - q)));
        if (q == nullptr) {
          q = in_end_;
          break;
        }
        const char* b = q;
        while (b > p && b[-1] == '\\') --b;
        if ((q - b) % 2 == 0) break;
        ++q;
      }
      bound = static_cast<std::size_t>(q - p);
    } else {
      bound = static_cast<std::size_t>(in_end_ - last_seen_) + first.size();
    }
    target_->reserve(bound);
  }

  const char* in_begin_;
  const char* in_end_;
  const char* last_seen_;
  std::size_t depth_ = 0;
  int member_ = kUnknown;        // member named by the last key (object form)
  int value_member_ = kUnknown;  // member of the value being parsed
  std::string* target_ = nullptr;
  bool in_string_ = false;
  std::string key_;
  bool key_too_long_ = false;
};

std::string position_text(std::string_view input, std::size_t pos) {
  if (pos > input.size()) pos = input.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    if (input[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(pos - line_start + 1);
}

// The parser refuses an exponent beyond the range of an int, though such a
// number is well-formed JSON; in a skipped member its value is of no
// concern. A copy of the input with every exponent of more than nine
// significant digits written as zeros parses to the same request: numbers
// with an exponent are refused in every known member whatever their value,
// only digits change, and nine digits cannot overflow together with a
// mantissa that fits in a request.
std::string with_small_exponents(std::string_view input) {
  std::string s(input);
  bool in_string = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    if (c != 'e' && c != 'E') continue;
    std::size_t begin = i + 1;
    if (begin < s.size() && (s[begin] == '+' || s[begin] == '-')) ++begin;
    std::size_t end = begin;
    while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
    std::size_t first = begin;
    while (first < end && s[first] == '0') ++first;
    if (end - first > 9) std::fill(s.data() + begin, s.data() + end, '0');
    i = end - 1;
  }
  return s;
}

// Parses once; a copy with small exponents is parsed when `retry` allows.
Result<FileAgentRequest> decode(std::string_view input, bool retry) {
  json::parse_options options;
  options.max_depth = 127;
  json::basic_parser<RequestHandler> parser(options, input.data(), input.data() + input.size());
  json::error_code ec;
  std::size_t used = parser.write_some(false, input.data(), input.size(), ec);
  RequestHandler& h = parser.handler();
  if (ec == json::error::exponent_overflow && retry) return decode(with_small_exponents(input), false);
  if (ec) {
    std::string text = h.message.empty() ? ec.message() : h.message;
    return fail(text + position_text(input, used));
  }
  if (used != input.size()) return fail("trailing characters" + position_text(input, used));
  if (h.top_is_array && h.elements < 3) {
    return fail("invalid length " + std::to_string(h.elements) +
                ", expected struct FileAgentRequest with 10 elements");
  }
  for (int m : {kProtocol, kOperation, kPath}) {
    if (!(h.seen & (1u << m))) return fail("missing field `" + std::string(kMemberNames[m]) + "`");
  }
  return std::move(h.request);
}

}  // namespace

// A request's strings may need more memory than is left; that is a request
// this agent cannot decode, not a reason to abort.
Result<FileAgentRequest> decode_request(std::string_view input) {
  try {
    return decode(input, true);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
}

// ---------------------------------------------------------------------------
// Encoding

Result<void> OutputBuffer::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (len_ == sizeof(buf_)) {
      if (auto r = drain(); !r) return r;
    }
    std::size_t n = std::min(bytes.size(), sizeof(buf_) - len_);
    std::memcpy(buf_ + len_, bytes.data(), n);
    len_ += n;
    bytes.remove_prefix(n);
  }
  return {};
}

Result<void> OutputBuffer::drain() {
  if (len_ == 0) return {};
  std::size_t n = len_;
  len_ = 0;
  return sink_(ctx_, buf_, n);
}

namespace {

// Strings are escaped by the JSON library's serializer, which writes the
// least escaping JSON allows (quotation mark and reverse solidus, the five
// short control escapes, other controls as lower-case \u00xx, everything
// else as it is) straight into the output buffer. Response strings are
// short (operation, messages, diff texts), so this is never a hot path.
Result<void> put_string(OutputBuffer& out, std::string_view s) {
  json::serializer sr;
  sr.reset(json::string_view(s.data(), s.size()));
  while (!sr.done()) {
    if (out.room_size() == 0) {
      if (auto r = out.drain(); !r) return r;
    }
    json::string_view got = sr.read(out.room(), out.room_size());
    out.commit(got.size());
  }
  return {};
}

Result<void> put_number(OutputBuffer& out, std::uint64_t v) {
  char digits[20];
  char* end = digits + sizeof(digits);
  char* p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return out.write(std::string_view(p, static_cast<std::size_t>(end - p)));
}

Result<void> put_base64(OutputBuffer& out, std::string_view bytes) {
  if (auto r = out.put('"'); !r) return r;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    if (out.room_size() < 4) {
      if (auto r = out.drain(); !r) return r;
    }
    std::size_t groups = out.room_size() / 4;
    std::size_t n = std::min(left, groups * 3);
    if (n < left) n -= n % 3;  // only the last piece may end in a partial group
    base64_encode(p, n, out.room());
    out.commit(base64_encoded_size(n));
    p += n;
    left -= n;
  }
  return out.put('"');
}

}  // namespace

Result<void> encode_response(const FileAgentResponse& r, OutputBuffer& out) {
  auto lit = [&](std::string_view s) { return out.write(s); };
  auto boolean = [&](bool b) { return lit(b ? "true" : "false"); };
  Result<void> st;
  auto step = [&](auto&& f) {
    if (st) st = f();
  };
  step([&] { return lit("{\"protocol\":"); });
  step([&] { return put_number(out, r.protocol); });
  step([&] { return lit(",\"ok\":"); });
  step([&] { return boolean(r.ok); });
  step([&] { return lit(",\"operation\":"); });
  step([&] { return put_string(out, r.operation); });
  step([&] { return lit(",\"replacements\":"); });
  step([&] { return put_number(out, r.replacements); });
  step([&] { return lit(",\"bytes\":"); });
  step([&] { return put_number(out, r.bytes); });
  step([&] { return lit(",\"binary\":"); });
  step([&] { return boolean(r.binary); });
  step([&] { return lit(",\"totalBytes\":"); });
  step([&] { return r.total_bytes ? put_number(out, *r.total_bytes) : lit("null"); });
  step([&] { return lit(",\"data\":"); });
  step([&] { return r.data ? put_base64(out, r.data->view()) : lit("null"); });
  if (r.diff) {
    step([&] { return lit(",\"diff\":{\"changes\":["); });
    bool first = true;
    for (const LineChange& c : r.diff->changes) {
      step([&] { return lit(first ? "{\"line\":" : ",{\"line\":"); });
      first = false;
      step([&] { return put_number(out, c.line); });
      step([&] { return lit(",\"removed\":"); });
      step([&] { return put_string(out, c.removed); });
      step([&] { return lit(",\"added\":"); });
      step([&] { return put_string(out, c.added); });
      step([&] { return lit("}"); });
    }
    step([&] { return lit("],\"truncated\":"); });
    step([&] { return boolean(r.diff->truncated); });
    step([&] { return lit("}"); });
  }
  step([&] { return lit(",\"error\":"); });
  step([&] { return r.error ? put_string(out, *r.error) : lit("null"); });
  step([&] { return lit("}"); });
  return st;
}

// ---------------------------------------------------------------------------
// Base64

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per input byte pair-of-sextets: a table indexed by
// 12 bits gives both characters of a half group at once.
struct PairTable {
  char pairs[4096][2];
  constexpr PairTable() : pairs() {
    for (int i = 0; i < 4096; ++i) {
      pairs[i][0] = kAlphabet[i >> 6];
      pairs[i][1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

}  // namespace

std::size_t base64_encoded_size(std::size_t size) { return (size + 2) / 3 * 4; }

#if defined(__x86_64__) && defined(__GNUC__)
#define BREVOK_BASE64_AVX2 1

namespace {

// 24 input bytes become 32 characters per step, in the two 128-bit lanes
// of an AVX2 register; the rest is left to the portable encoder. Reads 32
// bytes per step, so it stops while fewer than 32 remain.
__attribute__((target("avx2"))) std::size_t base64_encode_avx2(const unsigned char* in, std::size_t size,
                                                                 char* out) {
  // Bytes 0-11 to the top three quarters of the low lane, bytes 12-23 to
  // the bottom three quarters of the high lane.
  const __m256i spread = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
  // Within each group of three bytes (a b c): b a c b, the order in which
  // the four sextets can be cut out with 16-bit multiplies.
  const __m256i shuffle = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                                          14, 15, 13, 14, 11, 12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5);
  // Offsets from a sextet to its character: A-Z, a-z, 0-9, "+", "/".
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                                           65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  std::size_t done = 0;
  while (size - done >= 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
    v = _mm256_permutevar8x32_epi32(v, spread);
    v = _mm256_shuffle_epi8(v, shuffle);
    const __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00)),
                                          _mm256_set1_epi32(0x04000040));
    const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0)),
                                          _mm256_set1_epi32(0x01000010));
    const __m256i sextets = _mm256_or_si256(hi, lo);
    // Index into `offsets`: 0 for A-Z, 1 for a-z, 2-11 for digits, 12 and
    // 13 for "+" and "/".
    __m256i index = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
    index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(sextets, _mm256_set1_epi8(25)));
    const __m256i chars = _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, index));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
    done += 24;
    out += 32;
  }
  return done;
}

bool have_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

}  // namespace
#endif

void base64_encode(const char* data, std::size_t size, char* out) {
#ifdef BREVOK_BASE64_AVX2
  if (size >= 32 && have_avx2()) {
    std::size_t done = base64_encode_avx2(reinterpret_cast<const unsigned char*>(data), size, out);
    data += done;
    size -= done;
    out += done / 3 * 4;
  }
#endif
  base64_encode_portable(data, size, out);
}

void base64_encode_portable(const char* data, std::size_t size, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
    std::memcpy(out, kPairs.pairs[v >> 12], 2);
    std::memcpy(out + 2, kPairs.pairs[v & 0xfff], 2);
    out += 4;
  }
  std::size_t rest = size - i;
  if (rest == 1) {
    std::uint32_t v = std::uint32_t(in[i]) << 16;
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = '=';
    out[3] = '=';
  } else if (rest == 2) {
    std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8);
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = '=';
  }
}

// ---------------------------------------------------------------------------
// UTF-8

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when none starts there;
// `maximal` receives the length of the maximal subpart to replace.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& maximal) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  maximal = 1;
  if (c < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    unsigned char d = b(i + k);
    if (k == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) return 0;
    maximal = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t maximal;
    std::size_t n = utf8_sequence(s, i, maximal);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 16);
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t maximal;
    std::size_t n = utf8_sequence(s, i, maximal);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += maximal;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace brevok
