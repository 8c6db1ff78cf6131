#include "tracing/span_context.h"

#include <new>

#include "tracing/identifiers.h"

namespace vostrel {

namespace {

void visitMap(const StringMap& map, const StringVisitor& visitor) {
  for (const auto& entry : map) {
    if (!visitor(entry.first, entry.second)) return;
  }
}

}  // namespace

ImmutableSpanContext::ImmutableSpanContext(uint64_t traceId, uint64_t spanId, bool level, StringMap baggage,
                                           StringMap extraFields) noexcept
    : traceId_(traceId),
      spanId_(spanId),
      level_(level),
      baggage_(std::move(baggage)),
      extraFields_(std::move(extraFields)) {}

ImmutableSpanContext::ImmutableSpanContext(uint64_t traceId, uint64_t spanId, bool level, StringMap baggage,
                                           StringMap extraFields, StringMap capturedHeaders)
    : ImmutableSpanContext(Shared{}, traceId, spanId, level, std::move(baggage), std::move(extraFields),
                           capturedHeaders.empty() ? nullptr
                                                   : std::make_shared<const StringMap>(std::move(capturedHeaders))) {}

std::unique_ptr<ImmutableSpanContext> ImmutableSpanContext::sharingHeaders(
    uint64_t traceId, uint64_t spanId, bool level, StringMap baggage, StringMap extraFields,
    std::shared_ptr<const StringMap> capturedHeaders) {
  return std::unique_ptr<ImmutableSpanContext>(new ImmutableSpanContext(
      Shared{}, traceId, spanId, level, std::move(baggage), std::move(extraFields), std::move(capturedHeaders)));
}

ImmutableSpanContext::ImmutableSpanContext(Shared, uint64_t traceId, uint64_t spanId, bool level, StringMap baggage,
                                           StringMap extraFields,
                                           std::shared_ptr<const StringMap> capturedHeaders) noexcept
    : traceId_(traceId),
      spanId_(spanId),
      level_(level),
      baggage_(std::move(baggage)),
      extraFields_(std::move(extraFields)),
      capturedHeaders_(std::move(capturedHeaders)) {}

const StringMap& noCapturedHeaders() noexcept {
  static const StringMap none;
  return none;
}

const StringMap& ImmutableSpanContext::capturedHeaders() const noexcept {
  return capturedHeaders_ ? *capturedHeaders_ : noCapturedHeaders();
}

void ImmutableSpanContext::ForeachBaggageItem(StringVisitor visitor) const { visitMap(baggage_, visitor); }

void ImmutableSpanContext::foreachExtraField(StringVisitor visitor) const { visitMap(extraFields_, visitor); }

#if VOSTREL_OPENTRACING_ABI >= 3
std::unique_ptr<opentracing::SpanContext> ImmutableSpanContext::Clone() const noexcept {
  try {
    return std::make_unique<ImmutableSpanContext>(*this);
  } catch (const std::bad_alloc&) {
    // Clone cannot report an error; the caller gets no copy rather than a crash.
    return nullptr;
  }
}

std::string ImmutableSpanContext::ToTraceID() const noexcept {
  try {
    char digits[16];
    return formatHexId(traceId_, digits);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::string ImmutableSpanContext::ToSpanID() const noexcept {
  try {
    char digits[16];
    return formatHexId(spanId_, digits);
  } catch (const std::bad_alloc&) {
    return {};
  }
}
#endif

opentracing::expected<void> ImmutableSpanContext::inject(std::ostream& writer) const {
  return injectSpanContext(writer, traceId_, spanId_, level_, baggage_, extraFields_);
}

opentracing::expected<void> ImmutableSpanContext::inject(const opentracing::TextMapWriter& writer) const {
  return injectSpanContext(writer, traceId_, spanId_, level_, baggage_);
}

opentracing::expected<void> ImmutableSpanContext::inject(const opentracing::HTTPHeadersWriter& writer) const {
  return injectSpanContext(writer, traceId_, spanId_, level_, baggage_);
}

bool operator==(const SpanContext& a, const SpanContext& b) {
  if (a.traceId() != b.traceId() || a.spanId() != b.spanId() || a.level() != b.level()) return false;
  const auto collectBaggage = [](const SpanContext& context) {
    StringMap baggage;
    context.ForeachBaggageItem([&baggage](const std::string& key, const std::string& value) {
      baggage.emplace(key, value);
      return true;
    });
    return baggage;
  };
  // StringMap equality ignores insertion order, as wanted.
  if (collectBaggage(a) != collectBaggage(b)) return false;
  return a.capturedHeaders() == b.capturedHeaders();
}

}  // namespace vostrel
