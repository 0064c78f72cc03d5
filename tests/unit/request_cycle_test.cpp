// The request cycle in process: standard input and output in memory, with
// chosen reads and writes failing.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_platform.h"
#include "file_agent.h"
#include "memory_stdio.h"
#include "response_encoder.h"

namespace brevok::testing {
namespace {

const std::string kInjected = "injected failure";

class RequestCycle : public ::testing::Test {
 protected:
  void start(std::string input) {
    stdio.emplace(native_platform(), std::move(input));
    fault.emplace(*stdio);
  }
  Result<void> run(std::vector<std::string_view> args = {"--stdio"}) { return run_agent(args, *fault); }

  std::optional<MemoryStdio> stdio;
  std::optional<FaultPlatform> fault;
};

// A request refused for its protocol, answered with an error response that
// echoes `operation`; the response's size follows the operation's length.
std::string refused_request(std::string_view operation) {
  return R"({"protocol":2,"operation":")" + std::string(operation) + R"(","path":"p"})";
}
std::string refusal_line(std::string_view operation) {
  return R"({"protocol":1,"ok":false,"operation":")" + std::string(operation) +
         R"(","replacements":0,"bytes":0,"binary":false,"totalBytes":null,"data":null,)"
         R"("error":"unsupported file-agent protocol 2; expected 1"})";
}
// An operation name that makes the encoded response exactly `size` bytes.
std::string operation_for_size(std::size_t size) { return std::string(size - refusal_line("").size(), 'a'); }

struct WriteCase {
  std::string name;
  std::size_t encoded;  // bytes of the encoded object, without the line feed
  int failing_write;    // which write to standard output fails
  std::string context;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class ResponseWrite : public RequestCycle, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ResponseWrite, WithoutFaultWritesTheExactLine) {
  std::string op = operation_for_size(GetParam().encoded);
  start(refused_request(op));
  ASSERT_TRUE(run());
  EXPECT_EQ(stdio->out, refusal_line(op) + "\n");
  for (std::size_t w : stdio->out_writes) EXPECT_LE(w, RESPONSE_BUFFER_BYTES);
}

TEST_P(ResponseWrite, FailsWithTheContextOfWhereItHit) {
  const WriteCase& c = GetParam();
  std::string op = operation_for_size(c.encoded);
  start(refused_request(op));
  fault->fail(Op::kWriteStdout, c.failing_write, Error::os(kInjected));
  auto r = run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().full(), c.context + ": " + kInjected);
  // Nothing is retried or completed after the failure; what was written
  // before it stays.
  EXPECT_EQ(fault->calls(Op::kWriteStdout), c.failing_write);
  EXPECT_EQ(stdio->out, (refusal_line(op) + "\n").substr(0, RESPONSE_BUFFER_BYTES * (c.failing_write - 1)));
  EXPECT_EQ(stdio->err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponseWrite,
    ::testing::Values(WriteCase{"SmallAtFlush", 300, 1, "flushing file-agent response"},
                      WriteCase{"OneShortOfTheBufferAtFlush", 8191, 1, "flushing file-agent response"},
                      WriteCase{"FillingTheBufferAtLineFeed", 8192, 1, "writing file-agent response"},
                      WriteCase{"OnePastTheBufferWhileEncoding", 8193, 1, "encoding file-agent response"},
                      WriteCase{"OnePastTheBufferAtFlush", 8193, 2, "flushing file-agent response"},
                      WriteCase{"LargeWhileEncoding", 30000, 3, "encoding file-agent response"},
                      WriteCase{"FillingTwoBuffersAtLineFeed", 16384, 2, "writing file-agent response"},
                      WriteCase{"FillingTwoBuffersAtFlush", 16384, 3, "flushing file-agent response"}),
    [](const auto& info) { return info.param.name; });

TEST_F(RequestCycle, ReadFailureIsReportedOverTheSystemError) {
  start(refused_request("write"));
  fault->fail(Op::kReadStdin, 1, Error::os(kInjected));
  auto r = run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().full(), "reading file-agent request: " + kInjected);
  EXPECT_EQ(fault->calls(Op::kWriteStdout), 0);
}

TEST_F(RequestCycle, ReadFailureAfterPartOfTheRequest) {
  start(refused_request("write"));
  stdio->max_read = 5;
  fault->fail(Op::kReadStdin, 3, Error::os(kInjected));
  auto r = run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().full(), "reading file-agent request: " + kInjected);
  EXPECT_EQ(fault->calls(Op::kReadStdin), 3);
  EXPECT_EQ(fault->calls(Op::kWriteStdout), 0);
}

TEST_F(RequestCycle, ShortReadsAreJoinedUpToEndOfFile) {
  std::string request = refused_request("write") + "\n";
  start(request);
  stdio->max_read = 1;
  ASSERT_TRUE(run());
  EXPECT_EQ(stdio->out, refusal_line("write") + "\n");
  EXPECT_EQ(stdio->consumed(), request.size());
  EXPECT_EQ(fault->calls(Op::kReadStdin), static_cast<int>(request.size()) + 1);
}

TEST_F(RequestCycle, DecodingFailureWritesNoResponse) {
  start(R"({"protocol":2,"operation":"nope"})");
  auto r = run();
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().full().starts_with("decoding file-agent request: ")) << r.error().full();
  EXPECT_EQ(fault->calls(Op::kWriteStdout), 0);
}

// An operation's failure reaches the response as its outermost message
// alone: the causes underneath are dropped.
TEST_F(RequestCycle, OperationFailureCarriesOnlyTheOutermostMessage) {
  start(R"({"protocol":1,"operation":"readPreview","path":"/nonexistent/brevok-cycle-test"})");
  fault->fail(Op::kStat, 1, Error::os(kInjected));
  ASSERT_TRUE(run());
  const std::string head =
      R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
      R"("totalBytes":null,"data":null,"error":")";
  ASSERT_TRUE(stdio->out.starts_with(head)) << stdio->out;
  ASSERT_TRUE(stdio->out.ends_with("\"}\n")) << stdio->out;
  std::string message = stdio->out.substr(head.size(), stdio->out.size() - head.size() - 3);
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(message.find(kInjected), std::string::npos) << message;
  EXPECT_EQ(fault->failed_op, Op::kStat);
}

struct ArgsCase {
  std::string name;
  std::vector<std::string_view> args;
  bool runs_cycle;
};

void PrintTo(const ArgsCase& c, std::ostream* os) { *os << c.name; }

class Arguments : public RequestCycle, public ::testing::WithParamInterface<ArgsCase> {};

// Standard input is read only by the request cycle, and then to its end.
TEST_P(Arguments, ReadStandardInputOnlyForTheCycle) {
  const ArgsCase& c = GetParam();
  std::string request = refused_request("write");
  start(request);
  (void)run(c.args);
  if (c.runs_cycle) {
    EXPECT_EQ(stdio->consumed(), request.size());
    EXPECT_EQ(stdio->out, refusal_line("write") + "\n");
  } else {
    EXPECT_EQ(fault->calls(Op::kReadStdin), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Arguments,
                         ::testing::Values(ArgsCase{"None", {}, true}, ArgsCase{"Stdio", {"--stdio"}, true},
                                           ArgsCase{"StdioThenBogus", {"--stdio", "--bogus"}, true},
                                           ArgsCase{"Help", {"--help"}, false}, ArgsCase{"ShortHelp", {"-h"}, false},
                                           ArgsCase{"Version", {"--version"}, false},
                                           ArgsCase{"Unknown", {"--STDIO"}, false},
                                           ArgsCase{"Empty", {""}, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok::testing
