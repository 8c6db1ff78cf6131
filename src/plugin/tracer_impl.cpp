#include "plugin/tracer_impl.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "tracing/header_key_set.h"
#include "tracing/propagation.h"
#include "tracing/span.h"
#include "tracing/span_context.h"

namespace vostrel {

namespace {

using ContextPointer = std::unique_ptr<opentracing::SpanContext>;

opentracing::unexpected_type<std::error_code> notEnoughMemory() {
  return opentracing::make_unexpected(std::make_error_code(std::errc::not_enough_memory));
}

// Runs a propagation step; a carrier may throw, and nothing may reach the host.
template <class Result, class Step>
Result guardedPropagation(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return notEnoughMemory();
  } catch (...) {
    return opentracing::make_unexpected(opentracing::invalid_carrier_error);
  }
}

template <class Writer>
opentracing::expected<void> injectInto(const opentracing::SpanContext& context, Writer& writer) noexcept {
  return guardedPropagation<opentracing::expected<void>>([&]() -> opentracing::expected<void> {
    const SpanContext* own = ownSpanContext(&context);
    if (own == nullptr) return opentracing::make_unexpected(opentracing::invalid_span_context_error);
    return own->inject(writer);
  });
}

opentracing::expected<ContextPointer> contextFrom(const opentracing::expected<bool>& found, uint64_t traceId,
                                                  uint64_t spanId, bool level, StringMap& baggage,
                                                  StringMap& extraFields) {
  if (!found) return opentracing::make_unexpected(found.error());
  if (!*found) return ContextPointer();
  return ContextPointer(
      new ImmutableSpanContext(traceId, spanId, level, std::move(baggage), std::move(extraFields)));
}

}  // namespace

TracerImpl::TracerImpl(std::shared_ptr<const Logger> logger, std::shared_ptr<Sensor> sensor) noexcept
    : logger_(std::move(logger)), sensor_(std::move(sensor)) {}

std::unique_ptr<opentracing::Span> TracerImpl::StartSpanWithOptions(
    opentracing::string_view operationName, const opentracing::StartSpanOptions& options) const noexcept {
  try {
    return std::unique_ptr<opentracing::Span>(new Span(shared_from_this(), operationName, options));
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "StartSpanWithOptions failed: ", e.what());
    return nullptr;
  }
}

opentracing::expected<void> TracerImpl::Inject(const opentracing::SpanContext& context,
                                               std::ostream& writer) const noexcept {
  return injectInto(context, writer);
}

opentracing::expected<void> TracerImpl::Inject(const opentracing::SpanContext& context,
                                               const opentracing::TextMapWriter& writer) const noexcept {
  return injectInto(context, writer);
}

opentracing::expected<void> TracerImpl::Inject(const opentracing::SpanContext& context,
                                               const opentracing::HTTPHeadersWriter& writer) const noexcept {
  return injectInto(context, writer);
}

opentracing::expected<void> TracerImpl::Inject(const opentracing::SpanContext& context,
                                               const opentracing::CustomCarrierWriter& writer) const noexcept {
  return guardedPropagation<opentracing::expected<void>>([&] { return writer.Inject(*this, context); });
}

opentracing::expected<ContextPointer> TracerImpl::Extract(std::istream& reader) const noexcept {
  return guardedPropagation<opentracing::expected<ContextPointer>>([&] {
    uint64_t traceId = 0, spanId = 0;
    bool level = true;
    StringMap baggage, extraFields;
    const auto found = extractSpanContext(reader, traceId, spanId, level, baggage, extraFields);
    return contextFrom(found, traceId, spanId, level, baggage, extraFields);
  });
}

opentracing::expected<ContextPointer> TracerImpl::Extract(const opentracing::TextMapReader& reader) const noexcept {
  return guardedPropagation<opentracing::expected<ContextPointer>>([&] {
    uint64_t traceId = 0, spanId = 0;
    bool level = true;
    StringMap baggage, extraFields, capturedHeaders;
    const auto found = extractSpanContextImpl(reader, traceId, spanId, level, nullptr, baggage, extraFields,
                                              capturedHeaders, ExactKeyCompare{});
    return contextFrom(found, traceId, spanId, level, baggage, extraFields);
  });
}

opentracing::expected<ContextPointer> TracerImpl::Extract(
    const opentracing::HTTPHeadersReader& reader) const noexcept {
  return guardedPropagation<opentracing::expected<ContextPointer>>([&]() -> opentracing::expected<ContextPointer> {
    uint64_t traceId = 0, spanId = 0;
    bool level = true;
    StringMap baggage, extraFields, capturedHeaders;
    // Our own reference: the agent connection may publish a new set meanwhile.
    const Borrowed<HeaderKeySet> headerKeys = sensor_->borrowHeaderKeySet();
    const auto found = extractSpanContextImpl<CaseInsensitiveKeyCompare>(
        reader, traceId, spanId, level, headerKeys.get(), baggage, extraFields, capturedHeaders,
        CaseInsensitiveKeyCompare{});
    if (!headerKeys || !found || !*found) return contextFrom(found, traceId, spanId, level, baggage, extraFields);
    return ContextPointer(new ImmutableSpanContext(traceId, spanId, level, std::move(baggage),
                                                   std::move(extraFields), std::move(capturedHeaders)));
  });
}

opentracing::expected<ContextPointer> TracerImpl::Extract(
    const opentracing::CustomCarrierReader& reader) const noexcept {
  return guardedPropagation<opentracing::expected<ContextPointer>>([&] { return reader.Extract(*this); });
}

}  // namespace vostrel
