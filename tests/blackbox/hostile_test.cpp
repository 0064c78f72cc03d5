// Hostile input and hostile surroundings, through the real binary. Whatever
// arrives, and whatever state the standard streams are in, a run ends in
// exactly one of the two outcomes, with its exit status and never by a
// signal: one response line on standard output and status 0, or one line on
// standard error and status 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_process.h"

namespace brevok::testing {
namespace {

constexpr std::size_t kLimit = 134217728;
constexpr std::string_view kPrefix = "brevok-file-agent: ";

enum class Outcome { kResponse, kRefusal };

std::size_t count_line_feeds(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

// The one outcome `want`, and nothing of the other.
void expect_outcome(const AgentResult& r, Outcome want, std::string_view refusal_start = "") {
  ASSERT_EQ(r.signal, 0) << "ended by a signal";
  if (want == Outcome::kResponse) {
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("{\"protocol\":1,\"ok\":")) << r.out.substr(0, 200);
    EXPECT_TRUE(r.out.ends_with("}\n")) << r.out.substr(0, 200);
    EXPECT_EQ(count_line_feeds(r.out), 1u);
  } else {
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with(std::string(kPrefix) + std::string(refusal_start))) << r.err.substr(0, 300);
    EXPECT_TRUE(r.err.ends_with("\n"));
    EXPECT_EQ(count_line_feeds(r.err), 1u) << r.err.substr(0, 300);
  }
}

AgentResult run_input(std::string input) {
  RunOptions o;
  o.input = std::move(input);
  return run_agent_process(o);
}

std::string request(std::string_view members) {
  return "{\"protocol\":1,\"operation\":\"readPreview\",\"path\":\"/nonexistent/brevok\"" +
         std::string(members.empty() ? "" : ",") + std::string(members) + "}";
}

// --- size

TEST(HostileSize, EmptyInputIsRefused) {
  expect_outcome(run_input(""), Outcome::kRefusal, "decoding file-agent request");
}

// A request of exactly the limit whose bulk is one string in an unknown
// member: decoded in full and answered.
TEST(HostileSize, LimitSizedStringMemberIsAnswered) {
  ScratchDir dir;
  write_file(dir / "f.txt", "line\n");
  std::string head =
      "{\"protocol\":1,\"operation\":\"readPreview\",\"path\":" + json_string(agent_path(dir / "f.txt")) + ",\"bulk\":\"";
  std::string input = head;
  input.reserve(kLimit + 1);
  input.append(kLimit - head.size() - 2, 'b');
  input += "\"}";
  ASSERT_EQ(input.size(), kLimit);
  AgentResult r = run_input(std::move(input));
  expect_outcome(r, Outcome::kResponse);
  EXPECT_EQ(r.out,
            "{\"protocol\":1,\"ok\":true,\"operation\":\"readPreview\",\"replacements\":0,\"bytes\":5,\"binary\":false,"
            "\"totalBytes\":5,\"data\":\"bGluZQo=\",\"error\":null}\n");
}

// One byte more, and the request is complete JSON only at its last byte:
// the limit refuses it before any decoding.
TEST(HostileSize, OverLimitStringMemberIsRefused) {
  std::string head = request("\"bulk\":\"");
  head.pop_back();  // the request's closing brace comes after the string
  std::string input = head;
  input.reserve(kLimit + 2);
  input.append(kLimit + 1 - head.size() - 2, 'b');
  input += "\"}";
  ASSERT_EQ(input.size(), kLimit + 1);
  AgentResult r = run_input(std::move(input));
  expect_outcome(r, Outcome::kRefusal, "file-agent request exceeds 134217728 bytes");
}

// --- standard streams in a state no controlling tool should leave them in

enum class In { kRequestFile, kWriteOnly, kDirectory, kClosed };
enum class Out { kFile, kDevFull, kClosed };

struct StreamCase {
  std::string name;
  In in;
  Out out;
  bool close_err;
  bool large_response;  // larger than the response buffer
  std::string refusal;  // start of the standard-error line; empty: a response
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

// Runs the agent with its standard streams set up as the case says; what
// it writes goes to files, which are read afterwards.
AgentResult run_with_streams(const StreamCase& c, const std::string& request_text, const ScratchDir& dir) {
  const std::string req = dir / "request";
  const std::string out = dir / "out";
  const std::string err = dir / "err";
  write_file(req, request_text);
  write_file(out, "");
  write_file(err, "");
  AgentArgv argv;
  pid_t pid = ::fork();
  if (pid == 0) {
    int in_fd = -1;
    switch (c.in) {
      case In::kRequestFile: in_fd = ::open(req.c_str(), O_RDONLY); break;
      case In::kWriteOnly: in_fd = ::open(req.c_str(), O_WRONLY); break;
      case In::kDirectory: in_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY); break;
      case In::kClosed: break;
    }
    int out_fd = c.out == Out::kFile ? ::open(out.c_str(), O_WRONLY) : c.out == Out::kDevFull ? ::open("/dev/full", O_WRONLY) : -1;
    int err_fd = c.close_err ? -1 : ::open(err.c_str(), O_WRONLY);
    auto place = [](int fd, int target) {
      if (fd < 0) {
        ::close(target);
      } else if (fd != target) {
        ::dup2(fd, target);
      }
    };
    // Move the opened descriptors out of the way of 0..2 first.
    auto lift = [](int fd) { return fd < 0 || fd > 2 ? fd : ::fcntl(fd, F_DUPFD, 10); };
    in_fd = lift(in_fd);
    out_fd = lift(out_fd);
    err_fd = lift(err_fd);
    place(in_fd, 0);
    place(out_fd, 1);
    place(err_fd, 2);
    argv.exec();
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  AgentResult r;
  if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

class HostileStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(HostileStreams, EndInOneOutcome) {
  if (agent_is_windows()) GTEST_SKIP() << "POSIX descriptors";
  const StreamCase& c = GetParam();
  ScratchDir dir;
  std::string big(300000, 'a');
  for (std::size_t i = 79; i < big.size(); i += 80) big[i] = '\n';
  write_file(dir / "big.txt", big);
  write_file(dir / "small.txt", "small\n");
  std::string text = "{\"protocol\":1,\"operation\":\"readPreview\",\"path\":" +
                     json_string(dir / (c.large_response ? "big.txt" : "small.txt")) + "}";
  AgentResult r = run_with_streams(c, text, dir);
  ASSERT_EQ(r.signal, 0) << "ended by a signal";
  if (c.refusal.empty()) {
    expect_outcome(r, Outcome::kResponse);
    return;
  }
  EXPECT_EQ(r.exit_status, 1);
  if (c.out == Out::kFile) {
    EXPECT_EQ(r.out, "");
  }
  if (c.close_err) {
    EXPECT_EQ(r.err, "");  // nowhere to report it; the status tells
  } else {
    EXPECT_TRUE(r.err.starts_with(std::string(kPrefix) + c.refusal)) << r.err;
    EXPECT_EQ(count_line_feeds(r.err), 1u) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, HostileStreams,
    ::testing::Values(
        StreamCase{"Plain", In::kRequestFile, Out::kFile, false, false, ""},
        StreamCase{"PlainLarge", In::kRequestFile, Out::kFile, false, true, ""},
        StreamCase{"InputWriteOnly", In::kWriteOnly, Out::kFile, false, false, "reading file-agent request: "},
        StreamCase{"InputDirectory", In::kDirectory, Out::kFile, false, false, "reading file-agent request: "},
        StreamCase{"InputClosed", In::kClosed, Out::kFile, false, false, "reading file-agent request: "},
        StreamCase{"OutputFull", In::kRequestFile, Out::kDevFull, false, false, "flushing file-agent response: "},
        StreamCase{"OutputFullLarge", In::kRequestFile, Out::kDevFull, false, true, "encoding file-agent response: "},
        StreamCase{"OutputClosed", In::kRequestFile, Out::kClosed, false, false, "flushing file-agent response: "},
        StreamCase{"OutputClosedLarge", In::kRequestFile, Out::kClosed, false, true, "encoding file-agent response: "},
        StreamCase{"OutputAndErrorClosed", In::kRequestFile, Out::kClosed, true, false, "-"},
        StreamCase{"InputClosedErrorClosed", In::kClosed, Out::kFile, true, false, "-"},
        StreamCase{"EverythingClosed", In::kClosed, Out::kClosed, true, false, "-"}),
    [](const auto& info) { return info.param.name; });

// --- limits and paths that a careless caller may hand over

// Limits set for an emulator (or the sanitizers' runtime) would bind the
// wrapper rather than the agent.
bool limits_reach_the_agent() {
#if defined(__SANITIZE_ADDRESS__)
  return false;
#else
  return agent_command().prefix.size() == 1;
#endif
}

TEST(HostileLimits, EndInOneOutcome) {
  if (!limits_reach_the_agent()) GTEST_SKIP() << "the limits would bind a wrapper, not the agent";
  ScratchDir dir;
  write_file(dir / "f.txt", "old\n");
  RunOptions o;
  o.input = "{\"protocol\":1,\"operation\":\"write\",\"path\":" + json_string(dir / "f.txt") +
            ",\"content\":\"" + std::string(std::size_t(2) << 20, 'a') + "\"}";
  // Past the file size limit a write fails like any other: no signal, the
  // old file kept, nothing left behind.
  o.file_size_limit = 1 << 20;
  AgentResult r = run_agent_process(o);
  expect_outcome(r, Outcome::kResponse);
  EXPECT_NE(r.out.find("\"error\":\"writing remote temporary " + dir.path() + "/.f.txt.brevok-file-agent-"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"f.txt"});
  EXPECT_EQ(read_file(dir / "f.txt"), "old\n");
  // Memory for the request's strings runs out: a refusal, not an abort.
  o.file_size_limit.reset();
  o.address_space_limit = std::size_t(200) << 20;
  o.input.replace(o.input.find("\"content\""), 14, "\"content\":\"" + std::string(std::size_t(96) << 20, 'b'));
  expect_outcome(run_agent_process(o), Outcome::kRefusal, "decoding file-agent request: out of memory\n");
}

// A NUL would cut the path short on its way to the system and name another
// file: it is refused as a path that cannot be looked up, even by "write".
TEST(HostilePath, NulIsRefusedBeforeTheFileSystem) {
  ScratchDir dir;
  write_file(dir / "a", "a\n");
  std::string path = json_string(agent_path(dir / "a"));
  path.insert(path.size() - 1, "\\u0000b");
  for (std::string op : {"readPreview", "write", "edit"}) {
    AgentResult r = run_input("{\"protocol\":1,\"operation\":\"" + op + "\",\"path\":" + path +
                              ",\"oldString\":\"a\"}");
    expect_outcome(r, Outcome::kResponse);
    EXPECT_TRUE(r.out.ends_with(",\"error\":\"stating remote file " + path.substr(1) + "}\n")) << r.out;
  }
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"a"});
  EXPECT_EQ(read_file(dir / "a"), "a\n");
}

}  // namespace
}  // namespace brevok::testing
