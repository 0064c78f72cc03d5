// libFuzzer target: the whole request cycle on arbitrary bytes, standard
// input, output and the file system all in memory.
//
// Invariants: every run ends in exactly one of the two outcomes: a response
// line, or an error for standard error (then nothing on standard output);
// a response is exactly one line of valid JSON with the members in order;
// every file opened is closed; a failed request changes no file; a
// successful one changes no file but its target (so leaves no temporary)
// and did what it said.
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "file_agent.h"
#include "memory_platform.h"
#include "protocol.h"
#include "request_decoder.h"
#include "remote_fs.h"

namespace {

namespace json = boost::json;
using brevok::testing::MemoryPlatform;

std::string_view g_input;

[[noreturn]] void violated(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant violated: %s\n%.*s\n--- input:\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data(), static_cast<int>(g_input.size()), g_input.data());
  std::abort();
}

void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) violated(what, detail);
}

// The machine the requests of the seed corpus talk about.
void populate(MemoryPlatform& mem) {
  mem.home_value = "/home/u";
  mem.add_file("/home/u/notes.txt", "alpha\nbeta\ngamma\nbeta\n");
  mem.add_file("/home/u/crlf.txt", "one\r\ntwo\r\n");
  mem.add_file("/home/u/empty.txt", "");
  mem.add_file("/home/u/ro.txt", "read only\n", 0444);
  mem.add_file("/home/u/bin.dat", std::string("\x7f" "ELF\0\0\x01\x02", 8));
  mem.add_file("/home/u/latin1.txt", "caf\xe9\n");
  mem.add_directory("/home/u/dir");
  mem.add_file("/home/u/dir/inner.txt", "x\n");
}

std::string base64_decode(std::string_view s) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  check(s.size() % 4 == 0, "Base64 length not a multiple of 4", s);
  std::string out;
  for (std::size_t i = 0; i < s.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      if (s[i + k] == '=') {
        check(i + 4 == s.size() && k >= 2, "misplaced Base64 padding", s);
        v[k] = 0;
        ++pad;
      } else {
        check(pad == 0, "Base64 character after padding", s);
        v[k] = value(s[i + k]);
        check(v[k] >= 0, "not a Base64 character", s);
      }
    }
    unsigned n = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
    out += static_cast<char>(n >> 16);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xff);
    if (pad < 1) out += static_cast<char>(n & 0xff);
  }
  return out;
}

void check_response_shape(const json::object& o) {
  std::vector<std::string_view> want = {"protocol", "ok", "operation", "replacements", "bytes", "binary",
                                        "totalBytes", "data"};
  if (o.contains("diff")) want.push_back("diff");
  want.push_back("error");
  check(o.size() == want.size(), "wrong number of response members");
  std::size_t i = 0;
  for (const auto& member : o) {
    check(member.key() == want[i], "response members out of order", member.key());
    ++i;
  }
  check(o.at("protocol").is_uint64() || o.at("protocol").is_int64(), "protocol not an integer");
  check(o.at("protocol").to_number<std::uint64_t>() == 1, "protocol not 1");
  check(o.at("ok").is_bool(), "ok not a boolean");
  check(o.at("operation").is_string(), "operation not a string");
  check(o.at("binary").is_bool(), "binary not a boolean");
  bool ok = o.at("ok").as_bool();
  if (ok) {
    check(o.at("error").is_null(), "success with an error");
  } else {
    check(o.at("error").is_string() && !o.at("error").as_string().empty(), "failure without a message");
    check(!o.contains("diff") && o.at("data").is_null() && o.at("totalBytes").is_null(),
          "failure with operation results");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevok;
  g_input = std::string_view(reinterpret_cast<const char*>(data), size);
  MemoryPlatform mem("/home/u");
  populate(mem);
  const auto files_before = mem.files();
  mem.stdin_data.assign(g_input);

  const std::string_view args[] = {"--stdio"};
  Result<void> result = run_agent(args, mem);

  check(mem.open_handles() == 0, "a file left open");
  check(mem.misuse.empty(), "a handle misused", mem.misuse.empty() ? "" : mem.misuse.front());
  check(mem.stderr_data.empty(), "the request cycle wrote to standard error", mem.stderr_data);
  const auto files_after = mem.files();

  if (!result) {
    // Failure around the request: nothing on standard output, nothing done.
    check(mem.stdout_data.empty(), "a response and a standard-error failure both", mem.stdout_data);
    const std::string& outer = result.error().outermost();
    check(outer == "reading file-agent request" || outer == "decoding file-agent request" ||
              outer.starts_with("file-agent request exceeds "),
          "an unexpected failure around the request", result.error().full());
    check(files_after == files_before, "a refused request changed files");
    return 0;
  }

  const std::string& out = mem.stdout_data;
  check(!out.empty() && out.back() == '\n' && out.find('\n') == out.size() - 1, "response not exactly one line",
        out);
  json::error_code ec;
  json::value v = json::parse(json::string_view(out.data(), out.size() - 1), ec);
  check(!ec, "response is not valid JSON", out);
  check(v.is_object(), "response is not an object", out);
  const json::object& o = v.as_object();
  check_response_shape(o);

  auto request = decode_request(g_input);
  check(request.has_value(), "answered a request that does not decode");
  check(o.at("operation").as_string() == json::string_view(request->operation), "operation not echoed");
  bool ok = o.at("ok").as_bool();
  if (!ok) {
    check(files_after == files_before, "a failed request changed files");
    return 0;
  }
  check(request->protocol == 1, "success with a protocol other than 1");
  auto path = expand_remote_path(mem, request->path);
  check(path.has_value(), "success on a path that does not resolve");
  {
    // Nothing but the target has changed: in particular no temporary is
    // left.
    auto others_before = files_before;
    auto others_after = files_after;
    others_before.erase(mem.key_of(*path));
    others_after.erase(mem.key_of(*path));
    check(others_after == others_before, "a file other than the target changed or appeared");
  }
  std::optional<std::string> file = mem.file(*path);
  const std::uint64_t bytes = o.at("bytes").to_number<std::uint64_t>();
  if (request->operation == "write") {
    check(file == request->content, "write succeeded but the file does not hold the content");
    check(bytes == request->content.size(), "write reported a wrong byte count");
  } else if (request->operation == "edit") {
    check(file.has_value() && bytes == file->size(), "edit reported a wrong byte count");
    check(o.at("replacements").to_number<std::uint64_t>() >= 1, "edit succeeded without a replacement");
    check(o.contains("diff"), "edit succeeded without a diff");
  } else {
    check(request->operation == "readPreview", "success of an unknown operation", request->operation);
    check(file.has_value(), "preview of something that is not a file");
    check(files_after == files_before, "a preview changed files");
    check(o.at("totalBytes").to_number<std::uint64_t>() == file->size(), "preview totalBytes is not the size");
    check(bytes == file->size(), "preview bytes is not the size");
    if (o.at("binary").as_bool()) {
      check(o.at("data").is_null(), "binary preview with data");
    } else {
      const json::string& d = o.at("data").as_string();
      std::string head = base64_decode(std::string_view(d.data(), d.size()));
      check(file->starts_with(head), "preview is not the head of the file");
      check(head.empty() || head.size() == file->size() || head.ends_with('\n'), "preview cut inside a line");
    }
  }
  return 0;
}
