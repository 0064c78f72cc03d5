// The command line and the request cycle, through the built binary.
#include <gtest/gtest.h>

#include "agent_process.h"

namespace brevok::testing {
namespace {

struct CliCase {
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

class CommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(CommandLine, AnswersAsTheTableSays) {
  const CliCase& c = GetParam();
  RunOptions o;
  o.args = c.args;
  o.input = "not read";
  AgentResult r = run_agent_process(o);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.exit_status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLine,
    ::testing::Values(
        CliCase{{"--help"}, "brevok-file-agent --stdio|--version\n", "", 0},
        CliCase{{"-h"}, "brevok-file-agent --stdio|--version\n", "", 0},
        CliCase{{"--version"}, "brevok-file-agent 4.0.0\n", "", 0},
        CliCase{{"--version", "--bogus"}, "brevok-file-agent 4.0.0\n", "", 0},
        CliCase{{"--STDIO"}, "", "brevok-file-agent: unknown argument: --STDIO\n", 1},
        CliCase{{"-V"}, "", "brevok-file-agent: unknown argument: -V\n", 1},
        CliCase{{"--verbose"}, "", "brevok-file-agent: unknown argument: --verbose\n", 1},
        CliCase{{"help"}, "", "brevok-file-agent: unknown argument: help\n", 1},
        CliCase{{""}, "", "brevok-file-agent: unknown argument: \n", 1}));

}  // namespace
}  // namespace brevok::testing
