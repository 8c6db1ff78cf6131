#pragma once

// Pieces shared by the system benchmarks: a header carrier, a free loopback
// port, resident memory, and the request span workload every tracer runs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <opentracing/tracer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace vostrel::bench {

class Headers : public opentracing::HTTPHeadersWriter, public opentracing::HTTPHeadersReader {
 public:
  opentracing::expected<void> Set(opentracing::string_view key, opentracing::string_view value) const override {
    entries_.emplace_back(key, value);
    return {};
  }
  opentracing::expected<void> ForeachKey(
      std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)> f)
      const override {
    for (const auto& entry : entries_) {
      auto result = f(entry.first, entry.second);
      if (!result) return result;
    }
    return {};
  }

 private:
  mutable std::vector<std::pair<std::string, std::string>> entries_;
};

// A loopback port that nothing listens on (bound, read back, closed).
inline uint16_t closedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Incoming headers that carry a context of this tracer, as a proxied request
// from a traced caller would.
inline Headers incomingHeadersFor(const opentracing::Tracer& tracer) {
  Headers headers;
  auto caller = tracer.StartSpan("caller");
  tracer.Inject(caller->context(), static_cast<const opentracing::HTTPHeadersWriter&>(headers));
  return headers;
}

// One request as the NGINX module traces it: extract the caller's context,
// start the server span under it, tag it and finish it.
inline void traceRequestSpan(const opentracing::Tracer& tracer, const Headers& incoming) {
  auto parent = tracer.Extract(static_cast<const opentracing::HTTPHeadersReader&>(incoming));
  opentracing::StartSpanOptions options;
  if (parent && *parent) options.references.emplace_back(opentracing::SpanReferenceType::ChildOfRef, parent->get());
  auto span = tracer.StartSpanWithOptions("GET /api/items", options);
  span->SetTag("span.kind", "server");
  span->SetTag("http.method", "GET");
  span->SetTag("http.url", "/api/items?id=42&page=2");
  span->SetTag("http.status_code", 200);
  span->Finish();
}

}  // namespace vostrel::bench
