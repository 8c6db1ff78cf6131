#include "plugin/entry_point.h"

#include <gtest/gtest.h>
#include <opentracing/dynamic_load.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/network_guard.h"
#include "support/stderr_capture.h"

namespace vostrel {
namespace {

const std::string banner = "Vostrel C++ Sensor v1.1.1 has been loaded.\n";
const std::string nullMessage =
    "`opentracing_version`, `opentracing_abi_version`, `error_message`, `error_category`, and "
    "`tracer_factory` must be non-null.\n";
const std::string missingModuleMessage =
    "To avoid segfaults and incompatibilities, the Vostrel variant of the "
    "ngx_http_opentracing_module is required in the same version as libvostrel_sensor.\n";
// What libstdc++'s default terminate handler adds after our own message.
const std::string terminateNote = "terminate called without an active exception\n";

struct HostRun {
  bool aborted = false;
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string readAll(int fd) {
  std::string text;
  char chunk[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(fd, chunk, sizeof chunk, offset);
    if (got <= 0) return text;
    text.append(chunk, static_cast<size_t>(got));
    offset += got;
  }
}

int tempFile() {
  char path[] = "/tmp/vostrel-host-XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  return fd;
}

// Runs a test host under the program name argv0, with the plug-in and args.
HostRun runHost(const char* host, const std::string& argv0, const std::string& mode,
                const std::string& arg, const char* moduleVersion = nullptr) {
  const int out = tempFile();
  const int err = tempFile();
  const pid_t child = fork();
  if (child == 0) {
    dup2(out, 1);
    dup2(err, 2);
    if (moduleVersion != nullptr) setenv("VOSTREL_TEST_HOST_VERSION", moduleVersion, 1);
    std::vector<std::string> args = {argv0, VOSTREL_PLUGIN_PATH, mode, arg};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(host, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  HostRun run;
  run.aborted = WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = readAll(out);
  run.err = readAll(err);
  close(out);
  close(err);
  return run;
}

// Our message must be the first bytes on stderr; only the runtime's
// terminate note may follow.
void expectTerminatedWith(const HostRun& run, const std::string& message) {
  EXPECT_TRUE(run.aborted) << run.out << run.err;
  ASSERT_GE(run.err.size(), message.size()) << run.err;
  EXPECT_EQ(run.err.substr(0, message.size()), message);
  const std::string rest = run.err.substr(message.size());
  EXPECT_TRUE(rest.empty() || rest == terminateNote) << rest;
  EXPECT_EQ(run.out, "");
}

// The shared library exports exactly one dynamic symbol: the weak factory pointer object.
TEST(EntryPoint, ExportsOnlyTheFactorySymbol) {
  const std::string command = std::string("nm -D --defined-only ") + VOSTREL_PLUGIN_PATH;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  ASSERT_NE(nm, nullptr);
  std::vector<std::string> lines;
  char line[512];
  while (std::fgets(line, sizeof line, nm.get()) != nullptr) lines.emplace_back(line);
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_TRUE(testing::internal::RE::FullMatch(lines[0], "[0-9a-f]+ V OpenTracingMakeTracerFactory\n"))
      << lines[0];
}

// Any interface version other than the compiled one gets code 3 of the
// dynamic-load category and a message that replaces what the string held.
TEST(EntryPoint, RefusesOtherAbiVersions) {
  for (const char* abi : {"1", "2", "", "30", "3.0", "3 "}) {
    const void* category = nullptr;
    std::string message = "left over";
    void* factory = nullptr;
    EXPECT_EQ(makeTracerFactory(OPENTRACING_VERSION, abi, &category, &message, &factory), 3) << abi;
    EXPECT_EQ(category, &opentracing::dynamic_load_error_category()) << abi;
    EXPECT_EQ(message, std::string("incompatible OpenTracing ABI versions; expected ") +
                           OPENTRACING_ABI_VERSION + " but got " + abi);
    EXPECT_EQ(factory, nullptr);
  }
}

// Outside NGINX every call prints the banner once and hands out a new,
// independent factory, leaving category and message alone.
TEST(EntryPoint, EachCallPrintsBannerAndMakesNewFactory) {
  const void* category = nullptr;
  std::string message = "untouched";
  void* first = nullptr;
  void* second = nullptr;
  test::StderrCapture capture;
  ASSERT_EQ(makeTracerFactory("any", OPENTRACING_ABI_VERSION, &category, &message, &first), 0);
  ASSERT_EQ(makeTracerFactory("any", OPENTRACING_ABI_VERSION, &category, &message, &second), 0);
  EXPECT_EQ(capture.text(), banner + banner);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(category, nullptr);
  EXPECT_EQ(message, "untouched");
  delete static_cast<opentracing::TracerFactory*>(first);
  delete static_cast<opentracing::TracerFactory*>(second);
}

// A host loading through OpenTracing's own loader gets a factory, and the
// banner once per load, under a matching NGINX module or under any other
// program name.
TEST(EntryPoint, LoadsThroughOpenTracingLoader) {
  // Each load makes a tracer, whose sensor would probe the default gateway.
  if (!test::requirePrivateNetwork()) return;
  const std::string made = "factory; MakeTracer: tracer 0 \n";
  struct Case {
    const char* host;
    const char* argv0;
  };
  for (const Case& c : {Case{VOSTREL_TEST_HOST, "nginx"}, Case{VOSTREL_TEST_HOST, "nginx-debug"},
                        Case{VOSTREL_BARE_HOST, "ngin"}, Case{VOSTREL_BARE_HOST, ""},
                        Case{VOSTREL_BARE_HOST, "/usr/sbin/apache2"}}) {
    const HostRun run = runHost(c.host, c.argv0, "load", "2", "1001000");
    EXPECT_EQ(run.exitCode, 0) << c.argv0 << run.err;
    EXPECT_EQ(run.out, made + made) << c.argv0;
    EXPECT_EQ(run.err, banner + banner) << c.argv0;
  }
}

// Through the exported symbol, a host of interface 1 gets code 3 and the
// message, and nothing is printed.
TEST(EntryPoint, HostOfOldAbiGetsIncompatibleVersionError) {
  const HostRun run = runHost(VOSTREL_BARE_HOST, "nginx-bare-host", "abi", "1");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, std::string("3 OpenTracingDynamicLoadError nothing incompatible OpenTracing "
                                 "ABI versions; expected ") +
                         OPENTRACING_ABI_VERSION + " but got 1\n");
  EXPECT_EQ(run.err, "");
}

// Any null argument ends the process after the fixed 124-byte message.
TEST(EntryPoint, NullArgumentTerminates) {
  ASSERT_EQ(nullMessage.size(), 124u);
  for (const char* index : {"0", "1", "2", "3", "4"}) {
    SCOPED_TRACE(index);
    expectTerminatedWith(runHost(VOSTREL_BARE_HOST, "host", "null", index), nullMessage);
  }
}

// An NGINX process without the version function is ended after the 151-byte message.
TEST(EntryPoint, NginxWithoutModuleTerminates) {
  ASSERT_EQ(missingModuleMessage.size(), 151u);
  expectTerminatedWith(runHost(VOSTREL_BARE_HOST, "nginx", "load", "1"), missingModuleMessage);
}

// An NGINX module of another version ends the process; the value is printed unsigned.
TEST(EntryPoint, NginxModuleVersionMismatchTerminates) {
  for (const auto& [reported, printed] : {std::pair<const char*, const char*>{"1000000", "1000000"},
                                          {"-1", "4294967295"}}) {
    SCOPED_TRACE(reported);
    expectTerminatedWith(runHost(VOSTREL_TEST_HOST, "nginx", "load", "1", reported),
                         std::string("Version of ngx_http_opentracing_module does not match "
                                     "libvostrel_sensor: ") +
                             printed + " instead of 1001000. Please keep them in sync.\n");
  }
}

}  // namespace
}  // namespace vostrel
