// The command line and the request cycle, through the built binary.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "agent_process.h"

namespace brevok::testing {
namespace {

const std::string kRequest = R"({"protocol":2,"operation":"write","path":"p"})";
const std::string kRefusal =
    R"({"protocol":1,"ok":false,"operation":"write","replacements":0,"bytes":0,"binary":false,)"
    R"("totalBytes":null,"data":null,"error":"unsupported file-agent protocol 2; expected 1"})"
    "\n";
const std::string kUsage = "brevok-file-agent --stdio|--version\n";
const std::string kVersion = "brevok-file-agent 4.0.0\n";

struct CliCase {
  std::string name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(CommandLine, AnswersAsTheTableSays) {
  const CliCase& c = GetParam();
  RunOptions o;
  o.args = c.args;
  o.input = kRequest;
  AgentResult r = run_agent_process(o);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.exit_status, c.status);
}

// Only the request cycle touches standard input. With a regular file as
// standard input, its offset (shared with the agent) tells what was read.
TEST_P(CommandLine, ReadsStandardInputOnlyForTheCycle) {
  const CliCase& c = GetParam();
  ScratchDir dir;
  std::string path = dir / "stdin";
  write_file(path, kRequest);
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  RunOptions o;
  o.args = c.args;
  o.stdin_fd = fd;
  AgentResult r = run_agent_process(o);
  off_t offset = ::lseek(fd, 0, SEEK_CUR);
  ::close(fd);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(offset, c.out == kRefusal ? static_cast<off_t>(kRequest.size()) : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLine,
    ::testing::Values(
        CliCase{"NoArgument", {}, kRefusal, "", 0},
        CliCase{"Stdio", {"--stdio"}, kRefusal, "", 0},
        CliCase{"StdioIgnoresFurtherArguments", {"--stdio", "--bogus"}, kRefusal, "", 0},
        CliCase{"Help", {"--help"}, kUsage, "", 0},
        CliCase{"ShortHelp", {"-h"}, kUsage, "", 0},
        CliCase{"HelpIgnoresFurtherArguments", {"-h", "--bogus"}, kUsage, "", 0},
        CliCase{"Version", {"--version"}, kVersion, "", 0},
        CliCase{"VersionIgnoresFurtherArguments", {"--version", "--bogus"}, kVersion, "", 0},
        CliCase{"StdioInCapitals", {"--STDIO"}, "", "brevok-file-agent: unknown argument: --STDIO\n", 1},
        CliCase{"ShortVersion", {"-V"}, "", "brevok-file-agent: unknown argument: -V\n", 1},
        CliCase{"Verbose", {"--verbose"}, "", "brevok-file-agent: unknown argument: --verbose\n", 1},
        CliCase{"HelpWithoutDashes", {"help"}, "", "brevok-file-agent: unknown argument: help\n", 1},
        CliCase{"UnknownBeforeStdio", {"--bogus", "--stdio"}, "", "brevok-file-agent: unknown argument: --bogus\n", 1},
        CliCase{"WithSpace", {"--stdio "}, "", "brevok-file-agent: unknown argument: --stdio \n", 1},
        CliCase{"Empty", {""}, "", "brevok-file-agent: unknown argument: \n", 1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brevok::testing
