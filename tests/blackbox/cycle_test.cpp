// The request cycle through the built binary: bytes on standard input, then
// the exact response line or standard-error line and the exit status.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "agent_process.h"

namespace brevok::testing {
namespace {

// Where a case applies: some need a POSIX agent (its error texts, or
// descriptors shared with it).
enum class On { kAll, kPosix };

bool skip(On on) { return on == On::kPosix && agent_is_windows(); }

constexpr std::size_t kMaxRequest = 134217728;

// The error response line for `operation_json` (a JSON string as written
// on the wire) and the message `error_json`.
std::string error_line(const std::string& operation_json, const std::string& error_json) {
  return R"({"protocol":1,"ok":false,"operation":)" + operation_json +
         R"(,"replacements":0,"bytes":0,"binary":false,"totalBytes":null,"data":null,"error":)" + error_json +
         "}\n";
}
std::string protocol_refusal(const std::string& operation_json, const std::string& protocol = "2") {
  return error_line(operation_json, "\"unsupported file-agent protocol " + protocol + "; expected 1\"");
}

// Standard error holds exactly one line that begins with `prefix`.
void expect_error_line(const std::string& err, const std::string& prefix) {
  EXPECT_TRUE(err.starts_with(prefix)) << err;
  EXPECT_TRUE(err.ends_with("\n")) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

const std::string kDecoding = "brevok-file-agent: decoding file-agent request: ";

struct CycleCase {
  std::string name;
  std::string input;
  std::string out;  // the exact response line, or empty
  std::string err;  // the start of the standard-error line, or empty
  On on = On::kAll;
};

void PrintTo(const CycleCase& c, std::ostream* os) { *os << c.name; }

class Cycle : public ::testing::TestWithParam<CycleCase> {};

TEST_P(Cycle, AnswersAsTheTableSays) {
  const CycleCase& c = GetParam();
  if (skip(c.on)) GTEST_SKIP() << "not for this platform";
  // A refused request touches nothing: not even the file its path names.
  ScratchDir here;
  RunOptions o;
  o.input = c.input;
  o.cwd = here.path();
  AgentResult r = run_agent_process(o);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(list_dir(here.path()), std::vector<std::string>{});
  if (c.err.empty()) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
  } else {
    expect_error_line(r.err, c.err);
    EXPECT_EQ(r.exit_status, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Cycle,
    ::testing::Values(
        CycleCase{"EmptyInput", "", "", kDecoding},
        CycleCase{"WhitespaceOnly", " \t\r\n", "", kDecoding},
        CycleCase{"ProtocolTwo", R"({"protocol":2,"operation":"write","path":"p"})", protocol_refusal(R"("write")"), ""},
        // The protocol is checked before the operation name is looked at.
        CycleCase{"ProtocolTwoUnknownOperation", R"({"protocol":2,"operation":"nope","path":"p"})",
                  protocol_refusal(R"("nope")"), ""},
        CycleCase{"ProtocolZero", R"({"protocol":0,"operation":"edit","path":"p"})",
                  protocol_refusal(R"("edit")", "0"), ""},
        CycleCase{"ProtocolMax", R"({"protocol":4294967295,"operation":"edit","path":"p"})",
                  protocol_refusal(R"("edit")", "4294967295"), ""},
        CycleCase{"ArrayForm", R"([7,"edit","p"])", protocol_refusal(R"("edit")", "7"), ""},
        CycleCase{"TrailingCarriageReturnLineFeed", "{\"protocol\":2,\"operation\":\"edit\",\"path\":\"p\"}\r\n",
                  protocol_refusal(R"("edit")"), ""},
        CycleCase{"OperationInOtherCase", R"({"protocol":1,"operation":"ReadPreview","path":"p"})",
                  error_line(R"("ReadPreview")", R"("unsupported file-agent operation: ReadPreview")"), ""},
        CycleCase{"OperationWithTrailingSpace", R"({"protocol":1,"operation":"readPreview ","path":"p"})",
                  error_line(R"("readPreview ")", R"("unsupported file-agent operation: readPreview ")"), ""},
        CycleCase{"EmptyOperation", R"({"protocol":1,"operation":"","path":"p"})",
                  error_line(R"("")", R"("unsupported file-agent operation: ")"), ""},
        // Echoed with the least escaping: still exactly one line.
        CycleCase{"OperationNeedingEscapes",
                  R"({"protocol":1,"operation":"a\"b\\c\nd\u001b/\u00e9\u007f","path":"p"})",
                  error_line("\"a\\\"b\\\\c\\nd\\u001b/\xc3\xa9\x7f\"",
                             "\"unsupported file-agent operation: a\\\"b\\\\c\\nd\\u001b/\xc3\xa9\x7f\""),
                  ""},
        CycleCase{"ProtocolAsString", R"({"protocol":"1","operation":"edit","path":"p"})", "", kDecoding},
        CycleCase{"ProtocolAsFraction", R"({"protocol":1.0,"operation":"edit","path":"p"})", "", kDecoding},
        CycleCase{"ProtocolAboveRange", R"({"protocol":4294967296,"operation":"edit","path":"p"})", "", kDecoding},
        // Decoding is complete before the protocol is looked at.
        CycleCase{"MissingPathWithOtherProtocol", R"({"protocol":2,"operation":"nope"})", "", kDecoding},
        CycleCase{"NullForOptionalMember", R"({"protocol":1,"operation":"edit","path":"p","oldString":null})", "",
                  kDecoding},
        CycleCase{"SecondValue", R"({"protocol":2,"operation":"edit","path":"p"} {})", "", kDecoding},
        CycleCase{"ArrayOfTwo", R"([1,"edit"])", "", kDecoding},
        CycleCase{"InvalidUtf8", "{\"protocol\":1,\"operation\":\"\xff\",\"path\":\"p\"}", "", kDecoding}),
    [](const auto& info) { return info.param.name; });

// An operation's failure is an error response with status 0, not a
// standard-error line.
TEST(CycleOperation, FailureIsAnErrorResponse) {
  ScratchDir dir;
  RunOptions o;
  o.input = R"({"protocol":1,"operation":"readPreview","path":)" + json_string(agent_path(dir / "missing")) + "}";
  AgentResult r = run_agent_process(o);
  const std::string head =
      R"({"protocol":1,"ok":false,"operation":"readPreview","replacements":0,"bytes":0,"binary":false,)"
      R"("totalBytes":null,"data":null,"error":")";
  EXPECT_TRUE(r.out.starts_with(head)) << r.out;
  EXPECT_TRUE(r.out.ends_with("\"}\n")) << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
}

// A request padded to `size` bytes with an unknown member, refused for its
// protocol once decoded.
std::string padded_request(std::size_t size) {
  const std::string head = R"({"protocol":2,"operation":"write","path":"p","pad":")";
  const std::string tail = "\"}";
  std::string s;
  s.reserve(size + 1);
  s += head;
  s.append(size - head.size() - tail.size(), 'x');
  s += tail;
  return s;
}

TEST(CycleSize, RequestOfExactlyTheLimitIsAnswered) {
  RunOptions o;
  o.input = padded_request(kMaxRequest);
  ASSERT_EQ(o.input.size(), kMaxRequest);
  AgentResult r = run_agent_process(o);
  EXPECT_EQ(r.out, protocol_refusal(R"("write")"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
}

TEST(CycleSize, RequestOneByteOverTheLimitIsRefused) {
  RunOptions o;
  o.input = padded_request(kMaxRequest) + " ";
  AgentResult r = run_agent_process(o);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "brevok-file-agent: file-agent request exceeds 134217728 bytes\n");
  EXPECT_EQ(r.exit_status, 1);
}

// Reading stops one byte past the limit: the rest of a 200 MB file given as
// standard input stays unread. The agent shares the file's offset with us.
TEST(CycleSize, OverLimitReadsOnlyOneBytePastTheLimit) {
  ScratchDir dir;
  std::string path = dir / "stdin";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 200000000), 0);  // sparse: no disk space, reads as zero bytes
  RunOptions o;
  o.stdin_fd = fd;
  AgentResult r = run_agent_process(o);
  off_t consumed = ::lseek(fd, 0, SEEK_CUR);
  ::close(fd);
  EXPECT_EQ(consumed, static_cast<off_t>(kMaxRequest + 1));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "brevok-file-agent: file-agent request exceeds 134217728 bytes\n");
  EXPECT_EQ(r.exit_status, 1);
}

// The controlling tool has gone: the reading end of standard output is
// closed before the agent writes. Where the write fails depends on the
// response's size (an operation name echoed in the error response).
struct ClosedCase {
  std::string name;
  std::size_t encoded;  // bytes of the response without its line feed
  std::string context;
};

void PrintTo(const ClosedCase& c, std::ostream* os) { *os << c.name; }

class ClosedOutput : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(ClosedOutput, IsReportedOnStandardError) {
  const ClosedCase& c = GetParam();
  std::string op(c.encoded - protocol_refusal(R"("")").size() + 1, 'a');
  ASSERT_EQ(protocol_refusal("\"" + op + "\"").size(), c.encoded + 1);
  RunOptions o;
  o.input = R"({"protocol":2,"operation":")" + op + R"(","path":"p"})";
  o.close_stdout = true;
  AgentResult r = run_agent_process(o);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 1);
  expect_error_line(r.err, "brevok-file-agent: " + c.context + ": ");
  if (!agent_is_windows()) {
    EXPECT_EQ(r.err, "brevok-file-agent: " + c.context + ": Broken pipe\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ClosedOutput,
                         ::testing::Values(ClosedCase{"SmallAtFlush", 200, "flushing file-agent response"},
                                           ClosedCase{"FullBufferAtLineFeed", 8192, "writing file-agent response"},
                                           ClosedCase{"LargeWhileEncoding", 20000, "encoding file-agent response"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok::testing
