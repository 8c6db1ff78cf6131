// A host that loads the plug-in the way the NGINX OpenTracing module does:
// through OpenTracing's dynamic loader, using nothing but OpenTracing's
// interfaces. Each scenario prints what it did on standard output, one fact
// a line, for the end-to-end tests to check against what the agent
// simulator received.
//
//   test_host workload PLUGIN CONFIG THREADS REQUESTS
//   test_host nginx PLUGIN CONFIG WORKERS REQUESTS
//   test_host exit PLUGIN CONFIG static-tracer|leaked-tracer|open-span|dlclose-reload
//   test_host fork PLUGIN CONFIG release|keep|new-tracer

#include <dlfcn.h>
#include <opentracing/dynamic_load.h>
#include <opentracing/tracer.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/process_threads.h"

namespace ot = opentracing;

namespace {

const char* pluginPath = nullptr;
const char* configuration = nullptr;

std::mutex outputMutex;

// One line, written whole: workers and threads share standard output.
void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::string text = line + "\n";
  (void)!write(1, text.data(), text.size());
}

[[noreturn]] void fail(const std::string& message) {
  say("error " + message);
  std::fprintf(stderr, "test_host: %s\n", message.c_str());
  std::_Exit(2);
}

// Request headers as NGINX hands them over: names in lower case.
class Headers : public ot::HTTPHeadersWriter, public ot::HTTPHeadersReader {
 public:
  void add(std::string key, std::string value) { entries_.emplace_back(std::move(key), std::move(value)); }

  ot::expected<void> Set(ot::string_view key, ot::string_view value) const override {
    entries_.emplace_back(key, value);
    return {};
  }

  ot::expected<void> ForeachKey(
      std::function<ot::expected<void>(ot::string_view, ot::string_view)> f) const override {
    for (const auto& entry : entries_) {
      auto result = f(entry.first, entry.second);
      if (!result) return result;
    }
    return {};
  }

  std::string get(const std::string& key) const {
    for (const auto& entry : entries_) {
      if (strcasecmp(entry.first.c_str(), key.c_str()) == 0) return entry.second;
    }
    return "";
  }

  std::string keys() const {
    std::string result;
    for (const auto& entry : entries_) result += (result.empty() ? "" : ",") + entry.first;
    return result;
  }

 private:
  mutable std::vector<std::pair<std::string, std::string>> entries_;
};

std::string hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

struct Loaded {
  ot::DynamicTracingLibraryHandle handle;
  std::shared_ptr<ot::Tracer> tracer;
};

Loaded load() {
  std::string error;
  auto handle = ot::DynamicallyLoadTracingLibrary(pluginPath, error);
  if (!handle) fail("loading the plug-in failed: " + handle.error().message() + ": " + error);
  auto tracer = handle->tracer_factory().MakeTracer(configuration, error);
  if (!tracer) fail("MakeTracer failed: " + tracer.error().message() + ": " + error);
  return Loaded{std::move(*handle), std::move(*tracer)};
}

bool stillLoaded() {
  void* handle = dlopen(pluginPath, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

using vostrel::test::threadCount;

// Ids of a span as it injects them.
std::pair<std::string, std::string> injectedIds(const ot::Tracer& tracer, const ot::Span& span, Headers& headers) {
  auto injected = tracer.Inject(span.context(), static_cast<const ot::HTTPHeadersWriter&>(headers));
  if (!injected) fail("Inject failed: " + injected.error().message());
  return {headers.get("X-VOSTREL-T"), headers.get("X-VOSTREL-S")};
}

// One proxied request: an incoming context, a server span, an upstream child
// with injected headers. Prints "span T P S OPERATION K" for every span that
// must reach the agent and "suppressed T S K" for every one that must not.
void traceRequest(const ot::Tracer& tracer, uint64_t k, std::mt19937_64& random) {
  Headers incoming;
  incoming.add("host", "shop.example");
  incoming.add("x-request-id", "req-" + std::to_string(k));
  const int kind = static_cast<int>(k % 5);
  std::string callerSpan = "0000000000000000";
  if (kind == 1 || kind == 2 || kind == 4) {
    callerSpan = hex16(random() | 1);
    incoming.add("x-vostrel-t", hex16(random() | 1));
    incoming.add("x-vostrel-s", callerSpan);
    incoming.add("x-vostrel-l", kind == 2 ? "0" : "1");
    incoming.add("x-vostrel-b-user", "alice");
  }
  auto extracted = tracer.Extract(static_cast<const ot::HTTPHeadersReader&>(incoming));
  if (!extracted) fail("Extract failed: " + extracted.error().message());

  ot::StartSpanOptions options;
  if (*extracted) options.references.emplace_back(ot::SpanReferenceType::ChildOfRef, extracted->get());
  if (kind == 3) options.tags.emplace_back("sampling.priority", 0);
  if (kind == 4) options.tags.emplace_back("sampling.priority", 1);
  auto server = tracer.StartSpanWithOptions("GET /api/items", options);
  if (!server) fail("StartSpanWithOptions returned no span");
  server->SetTag("span.kind", "server");
  server->SetTag("http.method", "GET");
  server->SetTag("http.url", "/api/items?id=" + std::to_string(k) + "&token=t1&Token=t2&sid=s&password=p#frag");
  server->Log({{"event", "request received"}, {"k", k}});

  auto upstream = tracer.StartSpan("proxy upstream", {ot::ChildOf(&server->context())});
  if (!upstream) fail("StartSpan returned no span");
  upstream->SetTag("span.kind", "client");
  upstream->SetTag("peer.service", "backend");
  Headers outgoing;
  auto [upstreamTrace, upstreamSpan] = injectedIds(tracer, *upstream, outgoing);
  upstream->SetTag("http.status_code", 200);
  upstream->Finish();

  Headers serverHeaders;
  auto [serverTrace, serverSpan] = injectedIds(tracer, *server, serverHeaders);
  server->SetTag("http.status_code", 200);
  server->Finish();

  if (upstreamTrace != serverTrace) fail("upstream span left the trace");
  const std::string ks = std::to_string(k);
  if (kind == 2 || kind == 3) {
    say("suppressed " + serverTrace + " " + serverSpan + " " + ks);
    say("suppressed " + upstreamTrace + " " + upstreamSpan + " " + ks);
  } else {
    say("span " + serverTrace + " " + callerSpan + " " + serverSpan + " server " + ks);
    say("span " + upstreamTrace + " " + serverSpan + " " + upstreamSpan + " upstream " + ks);
  }
}

void runRequests(const ot::Tracer& tracer, int threads, int requests, uint64_t base) {
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&tracer, t, requests, base] {
      std::mt19937_64 random(std::random_device{}());
      for (int r = 0; r < requests; ++r) traceRequest(tracer, base + static_cast<uint64_t>(t * requests + r), random);
    });
  }
  for (auto& thread : pool) thread.join();
}

std::string readCommand() {
  std::string line;
  if (!std::getline(std::cin, line)) return "";
  return line;
}

int workload(int threads, int requests) {
  Loaded loaded = load();
  say("loaded " + std::to_string(getpid()));
  if (readCommand() != "go") fail("expected go");
  runRequests(*loaded.tracer, threads, requests, 0);
  say("done");
  if (readCommand() != "exit") fail("expected exit");
  loaded.tracer->Close();
  return 0;
}

// What the module does in the master while it reads its configuration: load,
// make a tracer, one throwaway unsampled span, an Inject to learn the header
// names, then drop the tracer without Close and dlclose the library.
void masterConfigurationCycle(const char* why) {
  Loaded loaded = load();
  auto span = loaded.tracer->StartSpan("configuration", {ot::SetTag("sampling.priority", 0)});
  if (!span) fail("no throwaway span");
  Headers keys;
  auto injected = loaded.tracer->Inject(span->context(), static_cast<const ot::HTTPHeadersWriter&>(keys));
  if (!injected) fail("throwaway Inject failed");
  span.reset();
  loaded.tracer.reset();
  loaded.handle = ot::DynamicTracingLibraryHandle{};
  say(std::string("master ") + why + " keys " + keys.keys() + " loaded-after-close " + (stillLoaded() ? "1" : "0"));
}

// Static, as in the module: released by static destruction at worker exit,
// the library handle (dlclose) before the tracer.
std::shared_ptr<ot::Tracer> workerTracer;
ot::DynamicTracingLibraryHandle workerHandle;

volatile sig_atomic_t quitRequested = 0;

void onQuit(int) { quitRequested = 1; }

[[noreturn]] void worker(int index, int requests) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  Loaded loaded = load();
  workerHandle = std::move(loaded.handle);
  workerTracer = std::move(loaded.tracer);
  runRequests(*workerTracer, 2, requests / 2, static_cast<uint64_t>(index) * 100000);
  say("worker " + std::to_string(getpid()) + " traced");
  while (!quitRequested) pause();
  workerTracer->Close();
  std::exit(0);
}

int nginx(int workers, int requests) {
  masterConfigurationCycle("configure");
  // "nginx -t": a separate process that only reads the configuration.
  pid_t check = fork();
  if (check == 0) {
    masterConfigurationCycle("check");
    std::exit(0);
  }
  int status = 0;
  waitpid(check, &status, 0);
  say("check " + std::string(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "ok" : "failed"));
  masterConfigurationCycle("reload");

  signal(SIGQUIT, onQuit);
  std::vector<pid_t> pids;
  for (int i = 0; i < workers; ++i) {
    pid_t pid = fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) worker(i + 1, requests);
    pids.push_back(pid);
    say("forked " + std::to_string(pid));
  }
  if (readCommand() != "stop") fail("expected stop");
  for (pid_t pid : pids) {
    auto start = std::chrono::steady_clock::now();
    kill(pid, SIGQUIT);
    waitpid(pid, &status, 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    say("exited " + std::to_string(pid) + " " + (clean ? "ok" : "failed:" + std::to_string(status)) + " " +
        std::to_string(ms));
  }
  return 0;
}

// Left for static destruction, or never released at all (still reachable,
// so that the leak checker does not count it).
std::shared_ptr<ot::Tracer> staticTracer;
std::unique_ptr<ot::Span> staticSpan;
ot::DynamicTracingLibraryHandle staticHandle;
Loaded* neverReleased = nullptr;

int exitWithLiveTracer(const std::string& mode) {
  Loaded loaded = load();
  if (mode == "static-tracer") {
    staticHandle = std::move(loaded.handle);
    staticTracer = std::move(loaded.tracer);
    staticTracer->StartSpan("finished before exit")->Finish();
  } else if (mode == "leaked-tracer") {
    neverReleased = new Loaded(std::move(loaded));
    neverReleased->tracer->StartSpan("finished before exit")->Finish();
  } else if (mode == "open-span") {
    staticHandle = std::move(loaded.handle);
    // Finished first, so that this thread's own state of the request path
    // exists, and is torn down at exit before the open span finishes.
    auto first = loaded.tracer->StartSpan("finished before exit");
    first->SetTag("http.url", "/a?key=1&b=2");
    first->Finish();
    staticSpan = loaded.tracer->StartSpan("open at exit");
    staticSpan->SetTag("http.url", "/x?key=1&y=2");
    loaded.tracer.reset();
  } else if (mode == "dlclose-reload") {
    auto span = loaded.tracer->StartSpan("before close");
    span.reset();
    loaded.tracer.reset();
    loaded.handle = ot::DynamicTracingLibraryHandle{};
    if (!stillLoaded()) fail("library unloaded by dlclose");
    Loaded again = load();
    auto second = again.tracer->StartSpan("after reload");
    Headers headers;
    auto ids = injectedIds(*again.tracer, *second, headers);
    if (ids.first.size() != 16) fail("no context injected after reload");
    second.reset();
    again.tracer.reset();
  } else {
    fail("unknown exit mode " + mode);
  }
  say("threads " + std::to_string(threadCount()));
  say("exiting");
  return 0;
}

int forkWithTracer(const std::string& mode) {
  Loaded loaded = load();
  auto span = loaded.tracer->StartSpan("started before fork");
  say("threads parent " + std::to_string(threadCount()));
  pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    say("threads child " + std::to_string(threadCount()));
    span->SetTag("in", "child");
    span.reset();
    auto inherited = loaded.tracer->StartSpan("inherited in child");
    inherited.reset();
    if (mode == "keep") {
      staticTracer = std::move(loaded.tracer);
      staticHandle = std::move(loaded.handle);
      std::exit(0);
    }
    loaded.tracer.reset();
    say("child released");
    if (mode == "new-tracer") {
      std::string error;
      auto fresh = loaded.handle.tracer_factory().MakeTracer(configuration, error);
      if (!fresh) fail("MakeTracer in the child failed: " + error);
      say("threads child-new-tracer " + std::to_string(threadCount()));
      (*fresh)->StartSpan("in child")->Finish();
      fresh->reset();
      say("threads child-new-tracer-released " + std::to_string(threadCount()));
    }
    std::exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  say(std::string("child ") + (WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "ok" : "failed"));
  span.reset();
  loaded.tracer.reset();
  say("threads parent-after-release " + std::to_string(threadCount()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s SCENARIO PLUGIN CONFIG ARGS...\n", argv[0]);
    return 2;
  }
  const std::string scenario = argv[1];
  pluginPath = argv[2];
  configuration = argv[3];
  if (scenario == "workload" && argc == 6) return workload(std::atoi(argv[4]), std::atoi(argv[5]));
  if (scenario == "nginx" && argc == 6) return nginx(std::atoi(argv[4]), std::atoi(argv[5]));
  if (scenario == "exit") return exitWithLiveTracer(argv[4]);
  if (scenario == "fork") return forkWithTracer(argv[4]);
  std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
  return 2;
}
