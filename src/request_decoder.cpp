#include "request_decoder.h"

#include <boost/json/basic_parser.hpp>
#include <boost/json/src.hpp>  // Boost.JSON is used header-only; this is its one home
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <variant>

namespace brevok {

namespace {

namespace json = boost::json;

constexpr int kMemberCount = static_cast<int>(REQUEST_MEMBERS.size());
constexpr int kUnknown = -1;
static_assert(kMemberCount <= 32, "`seen` holds one bit per member");

// The longest member name: a longer key names no member.
constexpr std::size_t kLongestName =
    std::ranges::max(REQUEST_MEMBERS, {}, [](const RequestMember& m) { return m.name.size(); }).name.size();

// What a member's field takes, in the words of the messages.
constexpr std::string_view kind_text(std::string FileAgentRequest::*) { return "a string"; }
constexpr std::string_view kind_text(bool FileAgentRequest::*) { return "a boolean"; }
constexpr std::string_view kind_text(std::uint32_t FileAgentRequest::*) { return "an unsigned 32-bit integer"; }
constexpr std::string_view kind_text(std::uint64_t FileAgentRequest::*) { return "an unsigned 64-bit integer"; }
std::string_view kind_text(const RequestField& field) {
  return std::visit([](auto f) { return kind_text(f); }, field);
}

int member_by_name(std::string_view name) {
  for (int m = 0; m < kMemberCount; ++m) {
    if (REQUEST_MEMBERS[m].name == name) return m;
  }
  return kUnknown;
}

// Sink of basic_parser's events. It keeps only what the request needs: the
// table's members at the first level; everything inside unknown members is
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
        return refuse(ec, "duplicate field `" + std::string(REQUEST_MEMBERS[member_].name) + "`");
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
      if (!begin_value<std::string>("a string", ec)) return false;
      target_ = stored<std::string>();
      if (target_ != nullptr) reserve_string(s);
    }
    if (target_ != nullptr) target_->append(s.data(), s.size());
    return true;
  }
  bool on_string(json::string_view s, std::size_t n, json::error_code& ec) {
    if (!on_string_part(s, n, ec)) return false;
    if (depth_ == 1) {
      in_string_ = false;
      target_ = nullptr;
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
    if (!scalar<bool>("a boolean", ec)) return false;
    if (bool* to = depth_ == 1 ? stored<bool>() : nullptr) *to = b;
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
  // whether its type fits. `Takes` are the field types that a value of this
  // type may fill (none for arrays, objects, nulls, negative and fractional
  // numbers); a member whose field is of another type is refused.
  template <class... Takes>
  bool begin_value(std::string_view what, json::error_code& ec) {
    value_member_ = kUnknown;
    target_ = nullptr;
    if (top_is_array) {
      if (elements == kMemberCount) {
        return refuse(ec, "invalid length " + std::to_string(kMemberCount + 1) +
                              " or more, expected struct FileAgentRequest with " + std::to_string(kMemberCount) +
                              " elements");
      }
      value_member_ = static_cast<int>(elements++);
      seen |= 1u << value_member_;
    } else {
      value_member_ = member_;
    }
    if (value_member_ == kUnknown) return true;
    const RequestMember& member = REQUEST_MEMBERS[value_member_];
    if (!(std::holds_alternative<Takes FileAgentRequest::*>(member.field) || ...)) {
      return refuse(ec, "invalid type: " + std::string(what) + ", " + expected());
    }
    return true;
  }

  // What the value's member takes, for a message.
  std::string expected() const {
    const RequestMember& member = REQUEST_MEMBERS[value_member_];
    return "expected " + std::string(kind_text(member.field)) + " for `" + std::string(member.name) + "`";
  }

  // The field of the value's member when it is of type T; nullptr for an
  // unknown member or a field of another type.
  template <class T>
  T* stored() {
    if (value_member_ == kUnknown) return nullptr;
    auto field = std::get_if<T FileAgentRequest::*>(&REQUEST_MEMBERS[value_member_].field);
    return field == nullptr ? nullptr : &(request.*(*field));
  }

  bool open(bool array, json::error_code& ec) {
    if (depth_ == 0) {
      top_is_array = array;
      saw_top = true;
    } else if (depth_ == 1) {
      if (!begin_value<>(array ? "an array" : "an object", ec)) return false;
    }
    ++depth_;
    return true;
  }

  template <class... Takes>
  bool scalar(std::string_view what, json::error_code& ec) {
    if (depth_ == 0) return refuse(ec, "invalid type: " + std::string(what) + ", expected struct FileAgentRequest");
    if (depth_ != 1) return true;
    return begin_value<Takes...>(what, ec);
  }

  bool on_unsigned(std::uint64_t v, json::error_code& ec) {
    if (depth_ == 0) return refuse(ec, "invalid type: an integer, expected struct FileAgentRequest");
    if (depth_ != 1) return true;
    if (!begin_value<std::uint32_t, std::uint64_t>("an integer", ec)) return false;
    if (std::uint64_t* to = stored<std::uint64_t>()) *to = v;
    if (std::uint32_t* to = stored<std::uint32_t>()) {
      if (v > std::numeric_limits<std::uint32_t>::max()) {
        return refuse(ec, "invalid value: integer `" + std::to_string(v) + "`, " + expected());
      }
      *to = static_cast<std::uint32_t>(v);
    }
    return true;
  }

  void append_key(json::string_view s) {
    // A key longer than every member name is unknown and need not be kept.
    if (key_too_long_ || key_.size() + s.size() > kLongestName) {
      key_too_long_ = true;
      return;
    }
    key_.append(s.data(), s.size());
  }

  // Views that point into the input tell how far the parser has come.
  void note_position(json::string_view s) {
    if (s.data() >= in_begin_ && s.data() <= in_end_) last_seen_ = s.data() + s.size();
  }

  // Reserves the member's string once, at the length it decodes to, from
  // its raw text: the end is its first quote not escaped, and each escape
  // decodes to fewer bytes than it takes. When the string began with an
  // escape the first part is not a view of the input: the raw text then
  // starts at the first quote followed by a backslash after what was seen.
  void reserve_string(json::string_view first) {
    const char* p = first.data();
    if (p < in_begin_ || p > in_end_) {
      p = last_seen_;
      for (;;) {
        p = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(in_end_ - p)));
        if (p == nullptr) return;
        if (++p < in_end_ && *p == '\\') break;
      }
    }
    const char* end = p;
    for (;;) {
      end = static_cast<const char*>(std::memchr(end, '"', static_cast<std::size_t>(in_end_ - end)));
      if (end == nullptr) {
        end = in_end_;
        break;
      }
      const char* b = end;
      while (b > p && b[-1] == '\\') --b;
      if ((end - b) % 2 == 0) break;
      ++end;
    }
    std::size_t decoded = static_cast<std::size_t>(end - p);
    for (const char* q = p;;) {
      q = static_cast<const char*>(std::memchr(q, '\\', static_cast<std::size_t>(end - q)));
      if (q == nullptr || end - q < 2) break;
      std::size_t raw = 2, out = 1;
      if (q[1] == 'u' && end - q >= 6) {
        const unsigned u = hex4(q + 2);
        raw = 6;
        out = u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
        if (u >= 0xD800 && u < 0xDC00 && end - q >= 12 && q[6] == '\\' && q[7] == 'u') {
          const unsigned low = hex4(q + 8);
          if (low >= 0xDC00 && low < 0xE000) raw = 12, out = 4;
        }
      }
      decoded -= raw - out;
      q += raw;
    }
    target_->reserve(decoded);
  }
  // The value of four hexadecimal digits; a digit that is none counts as 0.
  static unsigned hex4(const char* h) {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = h[i];
      const unsigned d = c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : 0;
      v = v * 16 + d;
    }
    return v;
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
                ", expected struct FileAgentRequest with " + std::to_string(kMemberCount) + " elements");
  }
  for (int m = 0; m < kMemberCount; ++m) {
    const RequestMember& member = REQUEST_MEMBERS[m];
    if (member.presence == Presence::kRequired && !(h.seen & (1u << m))) {
      return fail("missing field `" + std::string(member.name) + "`");
    }
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

}  // namespace brevok
