#pragma once

#include <opentracing/propagation.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vostrel::test {

using Headers = std::vector<std::pair<std::string, std::string>>;
using HeaderVisitor =
    std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)>;

// Calls f for each pair in order and stops at its first error, as a carrier's
// ForeachKey does.
inline opentracing::expected<void> visitHeaders(const Headers& headers, const HeaderVisitor& f) {
  for (const auto& header : headers) {
    auto result = f(header.first, header.second);
    if (!result) return result;
  }
  return {};
}

// Ordered (key, value) list behind a text-map or HTTP-header carrier. Set
// appends (keys repeat as they were set); ForeachKey visits in order.
template <class Writer, class Reader>
class ListCarrier final : public Writer, public Reader {
 public:
  ListCarrier() = default;
  explicit ListCarrier(Headers headers) : headers_(std::move(headers)) {}

  opentracing::expected<void> Set(opentracing::string_view key, opentracing::string_view value) const override {
    headers_.emplace_back(key, value);
    return {};
  }
  opentracing::expected<void> ForeachKey(
      std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)> f)
      const override {
    return visitHeaders(headers_, f);
  }

  const Headers& headers() const noexcept { return headers_; }
  // The value of the first entry named key, or null.
  const std::string* find(const std::string& key) const {
    for (const auto& header : headers_) {
      if (header.first == key) return &header.second;
    }
    return nullptr;
  }

 private:
  mutable Headers headers_;
};

using TextMapCarrier = ListCarrier<opentracing::TextMapWriter, opentracing::TextMapReader>;
using HttpHeadersCarrier = ListCarrier<opentracing::HTTPHeadersWriter, opentracing::HTTPHeadersReader>;

}  // namespace vostrel::test
