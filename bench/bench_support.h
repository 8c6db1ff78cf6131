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

// The headers of a proxied request from a traced caller: a few ordinary
// ones and the caller's context as this tracer injects it.
inline Headers incomingHeadersFor(const opentracing::Tracer& tracer) {
  Headers headers;
  headers.Set("Host", "shop.example.com");
  headers.Set("User-Agent", "Mozilla/5.0 (X11; Linux x86_64)");
  headers.Set("Accept", "*/*");
  headers.Set("X-Request-Id", "7f1c2e");
  auto caller = tracer.StartSpan("caller");
  tracer.Inject(caller->context(), static_cast<const opentracing::HTTPHeadersWriter&>(headers));
  return headers;
}

// The upstream request's headers; like NGINX it copies into storage that is
// reused request after request.
class OutgoingHeaders final : public opentracing::HTTPHeadersWriter {
 public:
  opentracing::expected<void> Set(opentracing::string_view key, opentracing::string_view value) const override {
    if (count_ < slots) {
      keys_[count_].assign(key.data(), key.size());
      values_[count_].assign(value.data(), value.size());
      ++count_;
    }
    return {};
  }
  void clear() const noexcept { count_ = 0; }

 private:
  static constexpr int slots = 8;
  mutable std::string keys_[slots];
  mutable std::string values_[slots];
  mutable int count_ = 0;
};

// One request as the NGINX module traces it: extract the caller's context,
// start the server span under it, five tags (the URL with a query that holds
// a secret), inject into the upstream request, finish.
inline void traceRequestSpan(const opentracing::Tracer& tracer, const opentracing::HTTPHeadersReader& incoming,
                             const OutgoingHeaders& outgoing) {
  auto parent = tracer.Extract(incoming);
  opentracing::StartSpanOptions options;
  if (parent && *parent) options.references.emplace_back(opentracing::SpanReferenceType::ChildOfRef, parent->get());
  auto span = tracer.StartSpanWithOptions("/api/items", options);
  span->SetTag("component", "nginx");
  span->SetTag("http.method", "GET");
  span->SetTag("http.url", "/api/items?id=42&apikey=s3cr3t&page=2");
  span->SetTag("http.status_code", 200);
  span->SetTag("peer.address", "10.1.2.3:51234");
  outgoing.clear();
  tracer.Inject(span->context(), outgoing);
  span->Finish();
}

}  // namespace vostrel::bench
