#include "agent/process_info.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace vostrel {
namespace {

using nlohmann::json;
using Args = std::vector<std::string>;

std::string bodyOf(const DiscoveryRequest& request) {
  std::string out;
  writeDiscoveryBody(out, request);
  return out;
}

// The id after "(" of the scheduler line is taken with stoi's leniency, and
// anything unusable gives 0.
TEST(ParentNamespacePid, ParsesSchedulerFirstLine) {
  const std::pair<std::string, int32_t> cases[] = {
      {"nginx (4711, #threads: 1)", 4711},
      {"nginx ( +12abc, #threads: 1)", 12},
      {"my(app), (4711, #threads: 3)", 4711},
      {"nginx 4711, #threads: 1", 0},
      {"nginx (4711 #threads: 1)", 0},
      {"nginx (, #threads: 1)", 0},
      {"nginx (abc, #threads: 1)", 0},
      {"nginx (-5, #threads: 1)", 0},
      {"nginx (2147483647, #threads: 1)", 2147483647},
      {"nginx (2147483648, #threads: 1)", 0},
      {"nginx (99999999999999999999, #threads: 1)", 0},
      {"", 0},
  };
  for (const auto& [line, pid] : cases) EXPECT_EQ(parseParentNamespacePid(line), pid) << line;
}

// Every NUL ends one element; empty elements and an unterminated last one are
// kept.
TEST(Cmdline, SplitsAtNulBytes) {
  using namespace std::string_literals;
  const std::pair<std::string, Args> cases[] = {
      {"nginx\0-g\0daemon off;\0"s, {"nginx", "-g", "daemon off;"}},
      {"nginx\0"s, {"nginx"}},
      {"nginx"s, {"nginx"}},
      {"a\0\0b\0"s, {"a", "", "b"}},
      {"\0"s, {""}},
      {""s, {}},
  };
  for (const auto& [bytes, args] : cases) EXPECT_EQ(parseCmdline(bytes), args);
}

// The ps header line is skipped and the trailing line feed dropped; the whole
// command stays one element.
TEST(PsOutput, TakesCommandAfterHeaderLine) {
  const std::string command = "ps -ww -p 7 -o command";
  EXPECT_EQ(parsePsOutput(command, "COMMAND\nnginx: master process nginx -g daemon off;\n"),
            (Args{"nginx: master process nginx -g daemon off;"}));
  EXPECT_EQ(parsePsOutput(command, "COMMAND\nnginx"), (Args{"nginx"}));
  const std::pair<std::string, std::string> failures[] = {
      {"", "no output from ps -ww -p 7 -o command"},
      {"COMMAND\n", "Unexpected output from ps -ww -p 7 -o command: COMMAND\n"},
      {"COMMAND", "Unexpected output from ps -ww -p 7 -o command: COMMAND"},
  };
  for (const auto& [output, message] : failures) {
    try {
      parsePsOutput(command, output);
      ADD_FAILURE() << "accepted " << output;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

// The body has its members in the fixed order, quoted flags, and the cpuset
// member only when there is one.
TEST(DiscoveryBody, WritesMembersInOrder) {
  DiscoveryRequest container{4711, 7, "/docker/abc", 5, "socket:[12345]", {"nginx", "-g", "daemon off;"}};
  const std::string containerBody = bodyOf(container);
  EXPECT_EQ(json::parse(containerBody)["args"], (json{"-g", "daemon off;"}));
  EXPECT_EQ(containerBody,
            "{\"pid\":4711,\"pidFromParentNS\":\"true\",\"cpuSetFileContent\":\"/docker/abc\",\"fd\":5,"
            "\"inode\":\"socket:[12345]\",\"name\":\"nginx\",\"args\":[\"-g\",\"daemon off;\"]}");

  DiscoveryRequest plain{7, 7, "", -1, "", {"nginx"}};
  const std::string body = bodyOf(plain);
  EXPECT_EQ(body, "{\"pid\":7,\"pidFromParentNS\":\"false\",\"fd\":-1,\"inode\":\"\",\"name\":\"nginx\",\"args\":[]}");
  const json parsed = json::parse(body);
  EXPECT_FALSE(parsed.contains("cpuSetFileContent"));
  EXPECT_EQ(parsed["args"], json::array());
}

// Strings with quotes, backslashes and control bytes stay valid JSON.
TEST(DiscoveryBody, EscapesStrings) {
  DiscoveryRequest request{1, 1, "a\"b", 3, "x\\y", {"/usr/sbin/ng\"inx", "-c", "\t\n"}};
  const json parsed = json::parse(bodyOf(request));
  EXPECT_EQ(parsed["cpuSetFileContent"], "a\"b");
  EXPECT_EQ(parsed["inode"], "x\\y");
  EXPECT_EQ(parsed["name"], "/usr/sbin/ng\"inx");
  EXPECT_EQ(parsed["args"], (json{"-c", "\t\n"}));
}

// Without a command line the body is refused and nothing is appended.
TEST(DiscoveryBody, RefusesEmptyCommandLine) {
  std::string out;
  try {
    writeDiscoveryBody(out, DiscoveryRequest{7, 7, "", -1, "", {}});
    FAIL() << "wrote a body without a name";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "failed to obtain command line arguments");
  }
  EXPECT_EQ(out, "");
}

// runCommand returns the whole output and reports a non-zero status raw.
TEST(RunCommand, ReturnsOutputAndReportsStatus) {
  EXPECT_EQ(runCommand("printf 'a%.0s' $(seq 300)"), std::string(300, 'a'));
  try {
    runCommand("exit 3");
    FAIL() << "accepted a failing command";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "failed to execute \"exit 3\": returned 768");
  }
}

// The ps fallback gives this process's command line as one element.
TEST(RunCommand, PsFallbackReadsOwnCommand) {
  const Args args = readPsCommand();
  ASSERT_EQ(args.size(), 1u);
  EXPECT_NE(args[0].find("process_info_test"), std::string::npos) << args[0];
}

// Read from the real /proc: own id, cpuset, the socket's inode and the
// command line of this test binary.
TEST(DiscoveryRequestFromProc, DescribesThisProcess) {
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  ByteBuffer buffer;
  writeDiscoveryRequest(buffer, sockets[0]);
  const json body = json::parse(buffer.toString());
  const std::string inode = readSocketInode(getpid(), sockets[0]);
  close(sockets[0]);
  close(sockets[1]);

  const int32_t reported = body["pid"];
  EXPECT_EQ(body["pidFromParentNS"], reported != getpid() ? "true" : "false");
  EXPECT_EQ(body["fd"], sockets[0]);
  EXPECT_EQ(inode.rfind("socket:[", 0), 0u) << inode;
  EXPECT_EQ(body["inode"], inode);
  std::ifstream cpuset("/proc/self/cpuset");
  std::string line;
  if (cpuset && std::getline(cpuset, line) && !line.empty()) {
    EXPECT_EQ(body["cpuSetFileContent"], line);
  } else {
    EXPECT_FALSE(body.contains("cpuSetFileContent"));
  }
  Args args;
  ASSERT_TRUE(readProcCmdline(args));
  ASSERT_FALSE(args.empty());
  EXPECT_EQ(body["name"], args[0]);
  EXPECT_EQ(body["args"].size(), args.size() - 1);
}

// A descriptor that is not open gives an empty inode, and readLink says why.
TEST(DiscoveryRequestFromProc, ClosedDescriptorHasNoInode) {
  EXPECT_EQ(readSocketInode(getpid(), -1), "");
  try {
    readLink("/nonexistent/vostrel");
    FAIL() << "read a missing link";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "readlink failed: No such file or directory");
  }
}

// Child side of the PID namespace run: writes getpid and the body to the file
// named by VOSTREL_PIDNS_OUTPUT; skipped when not started by the test below.
TEST(PidNamespaceChild, DISABLED_WritesBody) {
  const char* output = std::getenv("VOSTREL_PIDNS_OUTPUT");
  if (output == nullptr) GTEST_SKIP() << "runs only inside the PID namespace test";
  ByteBuffer buffer;
  writeDiscoveryRequest(buffer, -1);
  std::ofstream(output) << json{{"getpid", getpid()}, {"body", buffer.toString()}}.dump();
}

// In a new PID namespace the flag says exactly whether the reported id
// differs from the namespace's own id.
TEST(PidNamespace, FlagMatchesReportedId) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for unshare --pid";
  const std::string output = std::string(VOSTREL_TEST_BINARY_DIR) + "/pidns-" + std::to_string(getpid()) + ".json";
  std::remove(output.c_str());
  const std::string command = "VOSTREL_PIDNS_OUTPUT='" + output +
                              "' unshare --pid --fork --mount-proc /proc/self/exe"
                              " --gtest_also_run_disabled_tests --gtest_filter=PidNamespaceChild.DISABLED_WritesBody >/dev/null 2>&1";
  // /proc/self/exe of the shell would be the shell: resolve ours first.
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  std::string resolved = command;
  resolved.replace(resolved.find("/proc/self/exe"), 14, self);
  if (std::system(resolved.c_str()) != 0) GTEST_SKIP() << "cannot create a PID namespace here";

  std::ifstream file(output);
  ASSERT_TRUE(file) << "child wrote nothing";
  const json result = json::parse(file);
  std::remove(output.c_str());
  EXPECT_EQ(result["getpid"], 1);
  const json body = json::parse(result["body"].get<std::string>());
  const int32_t reported = body["pid"];
  EXPECT_GT(reported, 0);
  EXPECT_EQ(body["pidFromParentNS"], reported != result["getpid"].get<int>() ? "true" : "false");
}

}  // namespace
}  // namespace vostrel
