// demo-host: plays a few proxied requests the way the NGINX OpenTracing
// module traces them, through the plug-in loaded by OpenTracing's dynamic
// loader, then keeps the tracer alive while the sensor finds the agent and
// posts the spans.

#include <opentracing/dynamic_load.h>
#include <opentracing/tracer.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace ot = opentracing;

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) { stopRequested = 1; }

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
  std::string text() const {
    std::string result;
    for (const auto& entry : entries_) result += (result.empty() ? "" : ", ") + entry.first + ": " + entry.second;
    return result;
  }

 private:
  mutable std::vector<std::pair<std::string, std::string>> entries_;
};

struct Request {
  const char* method;
  const char* path;
  const char* query;
  const char* upstream;
  bool incomingContext;
  bool healthCheck;
};

// Played before the sensor has met the agent: buffered, and redacted by the
// built-in secret filter (key, pass, secret).
const Request beforeAnnounce[] = {
    {"GET", "/shop/items", "?category=books&page=2", "catalog", false, false},
    {"POST", "/shop/login", "?user=ann&password=hunter2&next=/cart", "accounts", true, false},
    {"GET", "/healthz", "", "", false, true},
};

// Played once the agent has answered the announce: redacted by the agent's
// secrets and with the request header it asked for captured.
const Request afterAnnounce[] = {
    {"GET", "/shop/cart", "?session=7f3a&api_key=SECRET-123#summary", "cart", true, false},
    {"GET", "/shop/checkout", "?token=tok_42&step=pay", "payments", true, false},
};

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--plugin PATH] --config JSON [--linger SECONDS] [--sent-file FILE]\n"
               "  --plugin     the plug-in to load (default: the one built next to this program)\n"
               "  --config     the tracer configuration (JSON), as NGINX would pass it\n"
               "  --linger     how long to keep the tracer alive for the sensor to deliver (default 40)\n"
               "  --sent-file  write the number of spans that must reach the agent there\n"
               "Ends on SIGINT or SIGTERM, or after --linger seconds.\n",
               program);
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = VOSTREL_PLUGIN_PATH;
  std::string config;
  std::string sentFile;
  int linger = 40;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage(argv[0]);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--plugin") {
      plugin = value();
    } else if (arg == "--config") {
      config = value();
    } else if (arg == "--linger") {
      linger = std::atoi(value().c_str());
    } else if (arg == "--sent-file") {
      sentFile = value();
    } else {
      usage(argv[0]);
      return arg == "--help" ? 0 : 2;
    }
  }
  if (config.empty()) {
    usage(argv[0]);
    return 2;
  }
  signal(SIGINT, onStop);
  signal(SIGTERM, onStop);

  std::string error;
  auto handle = ot::DynamicallyLoadTracingLibrary(plugin.c_str(), error);
  if (!handle) {
    std::fprintf(stderr, "demo-host: cannot load %s: %s %s\n", plugin.c_str(), handle.error().message().c_str(),
                 error.c_str());
    return 1;
  }
  auto made = handle->tracer_factory().MakeTracer(config.c_str(), error);
  if (!made) {
    std::fprintf(stderr, "demo-host: MakeTracer failed: %s %s\n", made.error().message().c_str(), error.c_str());
    return 1;
  }
  const auto created = std::chrono::steady_clock::now();
  std::shared_ptr<ot::Tracer> tracer = *made;
  std::printf("demo-host: tracer made from %s\n", config.c_str());

  int sent = 0;
  int n = 0;
  auto play = [&](const Request& request) {
    ++n;
    const std::string url = std::string(request.path) + request.query;
    Headers incoming;
    incoming.add("host", "shop.example");
    incoming.add("x-request-id", "demo-" + std::to_string(n));
    if (request.incomingContext) {
      // A caller that is traced too: its context arrives in the headers.
      incoming.add("x-vostrel-t", "00000000000c0ffe");
      incoming.add("x-vostrel-s", "000000000000" + std::to_string(1000 + n));
      incoming.add("x-vostrel-l", "1");
      incoming.add("x-vostrel-b-tenant", "acme");
    }
    auto parent = tracer->Extract(static_cast<const ot::HTTPHeadersReader&>(incoming));
    ot::StartSpanOptions options;
    if (parent && *parent) options.references.emplace_back(ot::SpanReferenceType::ChildOfRef, parent->get());
    // NGINX marks requests it must not trace, such as health checks.
    if (request.healthCheck) options.tags.emplace_back("sampling.priority", 0);
    auto server = tracer->StartSpanWithOptions(std::string(request.method) + " " + request.path, options);
    if (!server) return;
    server->SetTag("span.kind", "server");
    server->SetTag("http.method", request.method);
    server->SetTag("http.url", url);
    std::printf("request %d: %s %s%s\n", n, request.method, url.c_str(),
                request.incomingContext ? "  (continues the caller's trace)" : "");
    if (request.healthCheck) {
      std::printf("  not sampled (sampling.priority 0): not reported\n");
      server->Finish();
      return;
    }
    auto upstream = tracer->StartSpan(std::string("upstream ") + request.upstream, {ot::ChildOf(&server->context())});
    upstream->SetTag("span.kind", "client");
    upstream->SetTag("peer.service", request.upstream);
    Headers outgoing;
    if (tracer->Inject(upstream->context(), static_cast<const ot::HTTPHeadersWriter&>(outgoing))) {
      std::printf("  upstream %s gets %s\n", request.upstream, outgoing.text().c_str());
    }
    upstream->Log({{"event", "upstream response"}, {"status", 200}});
    upstream->SetTag("http.status_code", 200);
    upstream->Finish();
    server->SetTag("http.status_code", 200);
    server->Finish();
    sent += 2;
  };
  for (const Request& request : beforeAnnounce) play(request);
  std::printf("demo-host: %d spans finished and buffered\n", sent);

  // The sensor announces itself only 10 s after it was created.
  const bool tty = isatty(1) != 0;
  std::printf("demo-host: the sensor waits 10 s before it looks for the agent; spans stay buffered meanwhile\n");
  for (int left = 10; left > 0 && !stopRequested; --left) {
    std::printf(tty ? "\r  looking for the agent in %2d s " : "  looking for the agent in %d s\n", left);
    std::fflush(stdout);
    std::this_thread::sleep_until(created + std::chrono::seconds(11 - left));
  }
  std::printf(tty ? "\r  probing the agent, announcing, checking readiness, posting spans...\n"
                  : "  probing the agent, announcing, checking readiness, posting spans...\n");
  std::fflush(stdout);
  // The announce takes milliseconds on loopback; what follows is traced with
  // the agent's settings.
  std::this_thread::sleep_until(created + std::chrono::seconds(12));
  if (!stopRequested) {
    std::printf("demo-host: two more requests, now with the agent's secrets and header list\n");
    for (const Request& request : afterAnnounce) play(request);
  }
  std::printf("demo-host: %d spans finished in all\n", sent);
  std::fflush(stdout);
  if (!sentFile.empty()) std::ofstream(sentFile) << sent << "\n";
  auto deadline = created + std::chrono::seconds(linger);
  while (!stopRequested && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  tracer->Close();
  tracer.reset();
  return 0;
}
