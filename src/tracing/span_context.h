#pragma once

#include <opentracing/propagation.h>
#include <opentracing/span.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "tracing/propagation.h"

namespace vostrel {

using StringVisitor = std::function<bool(const std::string&, const std::string&)>;

// The system's span context: implemented by ImmutableSpanContext (extracted
// contexts) and by Span itself.
class SpanContext : public opentracing::SpanContext {
 public:
  virtual uint64_t traceId() const noexcept = 0;
  virtual uint64_t spanId() const noexcept = 0;
  virtual bool level() const noexcept = 0;
  virtual opentracing::expected<void> inject(std::ostream& writer) const = 0;
  virtual opentracing::expected<void> inject(const opentracing::TextMapWriter& writer) const = 0;
  virtual opentracing::expected<void> inject(const opentracing::HTTPHeadersWriter& writer) const = 0;
  // Lives as long as the context; never changes after construction.
  virtual const StringMap& capturedHeaders() const noexcept = 0;
  // The same headers, shared: a child span keeps them without a copy. Null
  // when there are none.
  virtual std::shared_ptr<const StringMap> sharedCapturedHeaders() const noexcept = 0;
  virtual void foreachExtraField(StringVisitor visitor) const = 0;
};

// A context built by extraction; never changes, so any thread may use it.
class ImmutableSpanContext final : public SpanContext {
 public:
  ImmutableSpanContext(uint64_t traceId, uint64_t spanId, bool level, StringMap baggage,
                       StringMap extraFields) noexcept;
  // Throws std::bad_alloc.
  ImmutableSpanContext(uint64_t traceId, uint64_t spanId, bool level, StringMap baggage, StringMap extraFields,
                       StringMap capturedHeaders);
  // Shares capturedHeaders (null: none) instead of taking a map of its own.
  static std::unique_ptr<ImmutableSpanContext> sharingHeaders(uint64_t traceId, uint64_t spanId, bool level,
                                                              StringMap baggage, StringMap extraFields,
                                                              std::shared_ptr<const StringMap> capturedHeaders);

  void ForeachBaggageItem(StringVisitor visitor) const override;
#if VOSTREL_OPENTRACING_ABI >= 3
  std::unique_ptr<opentracing::SpanContext> Clone() const noexcept override;
  std::string ToTraceID() const noexcept override;
  std::string ToSpanID() const noexcept override;
#endif
  uint64_t traceId() const noexcept override { return traceId_; }
  uint64_t spanId() const noexcept override { return spanId_; }
  bool level() const noexcept override { return level_; }
  opentracing::expected<void> inject(std::ostream& writer) const override;
  opentracing::expected<void> inject(const opentracing::TextMapWriter& writer) const override;
  opentracing::expected<void> inject(const opentracing::HTTPHeadersWriter& writer) const override;
  const StringMap& capturedHeaders() const noexcept override;
  std::shared_ptr<const StringMap> sharedCapturedHeaders() const noexcept override { return capturedHeaders_; }
  void foreachExtraField(StringVisitor visitor) const override;

 private:
  struct Shared {};
  ImmutableSpanContext(Shared, uint64_t traceId, uint64_t spanId, bool level, StringMap baggage,
                       StringMap extraFields, std::shared_ptr<const StringMap> capturedHeaders) noexcept;

  uint64_t traceId_;
  uint64_t spanId_;
  bool level_;
  StringMap baggage_;
  StringMap extraFields_;
  std::shared_ptr<const StringMap> capturedHeaders_;  // null when empty
};

// The map capturedHeaders() returns for a context without captured headers.
const StringMap& noCapturedHeaders() noexcept;

// Compares ids, level, baggage and captured headers; extra fields take no part.
bool operator==(const SpanContext& a, const SpanContext& b);
inline bool operator!=(const SpanContext& a, const SpanContext& b) { return !(a == b); }

}  // namespace vostrel
