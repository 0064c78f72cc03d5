// Concurrent agents on one target. Nothing locks the target, so agents may
// overwrite each other's work, but each must answer clearly (success, or
// the verification's or the edit's own refusal), the target must always
// hold one complete version, and no temporary may remain.
#include <atomic>
#include <iostream>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent_process.h"
#include "text.h"

namespace brevok::testing {
namespace {

constexpr int kAgents = 32;
constexpr int kRounds = 3;

// Runs one agent per request, all released at the same moment.
std::vector<AgentResult> run_together(const std::vector<std::string>& requests) {
  std::vector<AgentResult> results(requests.size());
  std::latch start(static_cast<std::ptrdiff_t>(requests.size()));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    threads.emplace_back([&, i] {
      RunOptions o;
      o.input = requests[i];
      start.arrive_and_wait();
      results[i] = run_agent_process(o);
    });
  }
  for (auto& t : threads) t.join();
  return results;
}

std::string success_line(std::string_view operation, std::uint64_t replacements, std::uint64_t bytes) {
  return "{\"protocol\":1,\"ok\":true,\"operation\":\"" + std::string(operation) +
         "\",\"replacements\":" + std::to_string(replacements) + ",\"bytes\":" + std::to_string(bytes) +
         ",\"binary\":false,\"totalBytes\":null,\"data\":null";
}

// The target holds one agent's whole version, and that agent, whose rename
// came last, read its own content back and reported success.
void expect_one_reported_version(const std::string& target, const std::vector<std::string>& versions,
                                 const std::set<int>& succeeded) {
  std::string final_content = read_file(target);
  int owner = -1;
  for (std::size_t i = 0; i < versions.size(); ++i) {
    if (versions[i] == final_content) owner = static_cast<int>(i);
  }
  ASSERT_GE(owner, 0) << "the target holds no agent's version (" << final_content.size() << " bytes)";
  EXPECT_TRUE(succeeded.count(owner)) << "the version that stayed was reported as failed";
}

// The message of an error response line, or nullopt if the line is not one.
std::optional<std::string> error_message(const std::string& out, std::string_view operation) {
  std::string head = "{\"protocol\":1,\"ok\":false,\"operation\":\"" + std::string(operation) +
                     "\",\"replacements\":0,\"bytes\":0,\"binary\":false,\"totalBytes\":null,\"data\":null,"
                     "\"error\":\"";
  std::string tail = "\"}\n";
  if (!out.starts_with(head) || !out.ends_with(tail)) return std::nullopt;
  return out.substr(head.size(), out.size() - head.size() - tail.size());
}

// Another agent's rename between this one's rename and its read-back shows
// as one of these.
bool is_verification_mismatch(const std::string& message, const std::string& target) {
  return message.starts_with("installed remote file size mismatch for " + target + ": expected ") ||
         message.starts_with("installed remote file content mismatch for " + target + " at byte ") ||
         message.starts_with("installed remote file length changed during verification for " + target +
                             ": expected ");
}

std::vector<std::string> temporaries(const ScratchDir& dir, const std::string& keep) {
  std::vector<std::string> out;
  for (const std::string& name : list_dir(dir.path())) {
    if (name != keep) out.push_back(name);
  }
  return out;
}

TEST(ConcurrentAgents, WritersOfOneTargetLeaveOneWholeContent) {
  if (agent_is_windows()) GTEST_SKIP() << "POSIX process handling";
  int successes = 0, mismatches = 0;
  for (int round = 0; round < kRounds; ++round) {
    ScratchDir dir;
    const std::string target = dir / "shared.txt";
    write_file(target, "initial\n");
    std::vector<std::string> contents, requests;
    for (int i = 0; i < kAgents; ++i) {
      // Distinct sizes and bytes: any mixture or cut shows.
      std::string c;
      while (c.size() < 256 * 1024 + static_cast<std::size_t>(i) * 101) c += "agent " + std::to_string(i) + " wrote this\n";
      contents.push_back(c);
      requests.push_back("{\"protocol\":1,\"operation\":\"write\",\"path\":" + json_string(agent_path(target)) +
                         ",\"content\":" + json_string(c) + "}");
    }
    std::vector<AgentResult> results = run_together(requests);

    std::set<int> succeeded;
    for (int i = 0; i < kAgents; ++i) {
      const AgentResult& r = results[static_cast<std::size_t>(i)];
      SCOPED_TRACE("agent " + std::to_string(i));
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      if (r.out == success_line("write", 0, contents[static_cast<std::size_t>(i)].size()) + ",\"error\":null}\n") {
        succeeded.insert(i);
        continue;
      }
      std::optional<std::string> message = error_message(r.out, "write");
      ASSERT_TRUE(message.has_value()) << "neither success nor an error response: " << r.out;
      EXPECT_TRUE(is_verification_mismatch(*message, agent_path(target))) << *message;
      ++mismatches;
    }
    successes += static_cast<int>(succeeded.size());

    expect_one_reported_version(target, contents, succeeded);
    EXPECT_EQ(temporaries(dir, "shared.txt"), std::vector<std::string>{});
  }
  std::cout << "[ concurrent ] " << kRounds * kAgents << " writers: " << successes << " succeeded, " << mismatches
            << " refused by the verification\n";
}

TEST(ConcurrentAgents, ReplaceAllEditsOfOneFileLeaveOneWholeVersion) {
  if (agent_is_windows()) GTEST_SKIP() << "POSIX process handling";
  int successes = 0, refusals = 0, observations = 0;
  for (int round = 0; round < kRounds; ++round) {
    ScratchDir dir;
    const std::string target = dir / "config.txt";
    constexpr int kLines = 20000;
    std::string initial;
    for (int n = 0; n < kLines; ++n) initial += "entry " + std::to_string(n) + ": value\n";
    write_file(target, initial);

    std::set<std::string> versions = {initial};
    std::vector<std::string> edited, requests;
    for (int i = 0; i < kAgents; ++i) {
      std::string mark = "v";
      mark += std::to_string(i);
      edited.push_back(replaced(initial, "value", mark));
      versions.insert(edited.back());
      requests.push_back("{\"protocol\":1,\"operation\":\"edit\",\"path\":" + json_string(agent_path(target)) +
                         ",\"oldString\":\"value\",\"newString\":\"" + mark + "\",\"replaceAll\":true}");
    }

    // Someone reading the file meanwhile sees one whole version each time.
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, seen{0};
    std::thread watcher([&] {
      while (!done.load()) {
        if (!versions.count(read_file(target))) ++torn;
        ++seen;
      }
    });
    std::vector<AgentResult> results = run_together(requests);
    done = true;
    watcher.join();
    EXPECT_EQ(torn.load(), 0) << "a reader saw a file that is no version";
    observations += seen.load();

    std::set<int> succeeded;
    for (int i = 0; i < kAgents; ++i) {
      const AgentResult& r = results[static_cast<std::size_t>(i)];
      SCOPED_TRACE("agent " + std::to_string(i));
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      if (r.out.starts_with(success_line("edit", kLines, edited[static_cast<std::size_t>(i)].size()) + ",\"diff\":")) {
        succeeded.insert(i);
        continue;
      }
      std::optional<std::string> message = error_message(r.out, "edit");
      ASSERT_TRUE(message.has_value()) << "neither success nor an error response: " << r.out;
      // Too late to find "value" at all, overtaken by another install
      // before its own, or after it.
      EXPECT_TRUE(*message == "oldString not found in remote file" ||
                  *message == "remote file changed during edit: " + agent_path(target) ||
                  is_verification_mismatch(*message, agent_path(target)))
          << *message;
      ++refusals;
    }
    successes += static_cast<int>(succeeded.size());

    expect_one_reported_version(target, edited, succeeded);
    EXPECT_EQ(temporaries(dir, "config.txt"), std::vector<std::string>{});
  }
  std::cout << "[ concurrent ] " << kRounds * kAgents << " editors: " << successes << " succeeded, " << refusals
            << " refused; " << observations << " reads by a watcher, all whole versions\n";
}

}  // namespace
}  // namespace brevok::testing
