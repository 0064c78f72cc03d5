#include "file_agent.h"

#include "operations.h"
#include "platform.h"
#include "protocol.h"
#include "remote_fs.h"
#include "request_decoder.h"
#include "response_encoder.h"

#include <algorithm>
#include <new>

namespace brevok {

FileAgentResponse error_response(std::string operation, std::string message) {
  FileAgentResponse r;
  r.ok = false;
  r.operation = std::move(operation);
  r.error = std::move(message);
  return r;
}

namespace {

// The project's version, as CMake gives it.
constexpr std::string_view AGENT_VERSION = BREVOK_VERSION;

Result<void> print_line(Platform& platform, std::string line) {
  line += '\n';
  return platform.write_stdout(line.data(), line.size());
}

// Reads standard input to its end, but never more than one byte past the
// limit: a request that long is refused without draining the rest.
Result<ByteBuffer> read_request(Platform& platform) {
  constexpr std::size_t kCapacity = MAX_REQUEST_BYTES + 1;
  // The buffer starts at this size and doubles as the request fills it, up
  // to the limit: it never takes more than twice what it holds plus this.
  constexpr std::size_t kRequestStep = std::size_t(4) << 20;
  ByteBuffer buf;
  if (!buf.allocate(std::min(kCapacity, kRequestStep), kCapacity)) {
    return fail("out of memory reading file-agent request");
  }
  std::size_t len = 0;
  while (len < kCapacity) {
    if (len == buf.capacity()) {
      buf.set_size(len);
      if (!buf.grow(std::min(kCapacity, len * 2))) return fail("out of memory reading file-agent request");
    }
    auto n = platform.read_stdin(buf.data() + len, buf.capacity() - len);
    if (!n) return fail(std::move(n.error()), "reading file-agent request");
    if (*n == 0) break;
    len += *n;
  }
  buf.set_size(len);
  if (len > MAX_REQUEST_BYTES) {
    return fail("file-agent request exceeds " + std::to_string(MAX_REQUEST_BYTES) + " bytes");
  }
  return buf;
}

Result<FileAgentResponse> dispatch(Platform& platform, const FileAgentRequest& request) {
  std::string_view doing;
  try {
    if (request.operation == "readPreview") {
      doing = "reading";
      return read_preview(platform, request);
    }
    if (request.operation == "write") {
      doing = "writing";
      return write_file(platform, request);
    }
    if (request.operation == "edit") {
      doing = "editing";
      return edit_file(platform, request);
    }
  } catch (const std::bad_alloc&) {
    // Whatever the operation held is released by now; what it was doing is
    // its answer, as for the large buffers it checks itself.
    auto path = expand_remote_path(platform, request.path);
    return fail("out of memory " + std::string(doing) + " remote file " +
                display_path(path ? *path : NativePath(request.path)));
  }
  return fail("unsupported file-agent operation: " + request.operation);
}

Result<void> write_response(Platform& platform, const FileAgentResponse& response) {
  auto sink = [](void* ctx, const char* data, std::size_t size) -> Result<void> {
    return static_cast<Platform*>(ctx)->write_stdout(data, size);
  };
  OutputBuffer out(sink, &platform);
  if (auto r = encode_response(response, out); !r) {
    return fail(std::move(r.error()), "encoding file-agent response");
  }
  if (auto r = out.put('\n'); !r) return fail(std::move(r.error()), "writing file-agent response");
  // Standard output is unbuffered below us, so draining our buffer is both
  // flushes at once.
  if (auto r = out.drain(); !r) return fail(std::move(r.error()), "flushing file-agent response");
  return {};
}

}  // namespace

Result<void> run_agent(std::span<const std::string_view> args, Platform& platform) {
  if (!args.empty()) {
    std::string_view a = args[0];
    if (a == "--help" || a == "-h") return print_line(platform, std::string(PROGRAM_NAME) + " --stdio|--version");
    if (a == "--version") return print_line(platform, std::string(PROGRAM_NAME) + " " + std::string(AGENT_VERSION));
    if (a != "--stdio") return fail("unknown argument: " + std::string(a));
  }

  FileAgentResponse response;
  {
    Result<FileAgentRequest> request = [&]() -> Result<FileAgentRequest> {
      auto bytes = read_request(platform);
      if (!bytes) return std::unexpected(std::move(bytes.error()));
      auto decoded = decode_request(bytes->view());
      if (!decoded) return fail(std::move(decoded.error()), "decoding file-agent request");
      return decoded;
    }();
    if (!request) return std::unexpected(std::move(request.error()));

    if (request->protocol != FILE_AGENT_PROTOCOL) {
      response = error_response(request->operation, "unsupported file-agent protocol " +
                                                        std::to_string(request->protocol) + "; expected " +
                                                        std::to_string(FILE_AGENT_PROTOCOL));
    } else {
      auto answer = dispatch(platform, *request);
      if (answer) {
        response = std::move(*answer);
      } else {
        response = error_response(request->operation, answer.error().outermost());
      }
    }
    // The request (and the buffer it was read into) is released here,
    // before the response is written.
  }
  return write_response(platform, response);
}

}  // namespace brevok
