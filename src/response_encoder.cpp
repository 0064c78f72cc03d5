#include "response_encoder.h"

#include <boost/json/serializer.hpp>
#include <algorithm>
#include <cstring>

#include "base64.h"

namespace brevok {

Result<void> OutputBuffer::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (len_ == size_) {
      if (auto r = drain(); !r) return r;
    }
    std::size_t n = std::min(bytes.size(), size_ - len_);
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

void OutputBuffer::widen() {
  if (wide_.capacity() != 0 || !wide_.allocate(RESPONSE_WIDE_BUFFER_BYTES)) return;
  std::memcpy(wide_.data(), buf_, len_);
  buf_ = wide_.data();
  size_ = wide_.capacity();
}

namespace {

namespace json = boost::json;

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
  if (base64_encoded_size(bytes.size()) >= RESPONSE_WIDE_DATA_BYTES) out.widen();
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

}  // namespace brevok
