#pragma once

#include <opentracing/span.h>

#include <functional>
#include <memory>
#include <string>

namespace vostrel::test {

// A span context of another tracer implementation.
class ForeignContext final : public opentracing::SpanContext {
 public:
  void ForeachBaggageItem(std::function<bool(const std::string&, const std::string&)>) const override {}
#if VOSTREL_OPENTRACING_ABI >= 3
  std::unique_ptr<opentracing::SpanContext> Clone() const noexcept override { return nullptr; }
#endif
};

}  // namespace vostrel::test
