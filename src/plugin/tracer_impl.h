#pragma once

#include <opentracing/tracer.h>

#include <memory>

#include "plugin/logger.h"
#include "runtime/sensor.h"

namespace vostrel {

// The OpenTracing tracer handed to the host. Always owned by a shared
// pointer (spans keep it alive through shared_from_this). Its fields never
// change after construction, so every operation may run on any number of
// host threads at once; the only shared state it reads is the sensor's
// header set, taken as an atomic snapshot.
class TracerImpl final : public opentracing::Tracer, public std::enable_shared_from_this<TracerImpl> {
 public:
  TracerImpl(std::shared_ptr<const Logger> logger, std::shared_ptr<Sensor> sensor) noexcept;

  // A new span, or null (with an error line) on failure.
  std::unique_ptr<opentracing::Span> StartSpanWithOptions(opentracing::string_view operationName,
                                                          const opentracing::StartSpanOptions& options) const
      noexcept override;

  // Contexts of other tracers give invalid_span_context_error; memory
  // exhaustion gives ENOMEM, an exception of the carrier itself
  // invalid_carrier_error. Nothing is logged. Custom carriers run their own
  // injection and extraction with this tracer.
  opentracing::expected<void> Inject(const opentracing::SpanContext& context, std::ostream& writer) const
      noexcept override;
  opentracing::expected<void> Inject(const opentracing::SpanContext& context,
                                     const opentracing::TextMapWriter& writer) const noexcept override;
  opentracing::expected<void> Inject(const opentracing::SpanContext& context,
                                     const opentracing::HTTPHeadersWriter& writer) const noexcept override;
  opentracing::expected<void> Inject(const opentracing::SpanContext& context,
                                     const opentracing::CustomCarrierWriter& writer) const noexcept override;

  // A value holding null means the carrier holds no context.
  opentracing::expected<std::unique_ptr<opentracing::SpanContext>> Extract(std::istream& reader) const
      noexcept override;
  opentracing::expected<std::unique_ptr<opentracing::SpanContext>> Extract(
      const opentracing::TextMapReader& reader) const noexcept override;
  // Captures the headers named by the sensor's current header set.
  opentracing::expected<std::unique_ptr<opentracing::SpanContext>> Extract(
      const opentracing::HTTPHeadersReader& reader) const noexcept override;
  opentracing::expected<std::unique_ptr<opentracing::SpanContext>> Extract(
      const opentracing::CustomCarrierReader& reader) const noexcept override;

  // Does nothing: the sensor reports finished spans while it lives.
  void Close() noexcept override {}

  const Logger& logger() const noexcept { return *logger_; }
  Sensor& sensor() const noexcept { return *sensor_; }

 private:
  // Destroyed in reverse order: the sensor goes before the logger.
  std::shared_ptr<const Logger> logger_;
  std::shared_ptr<Sensor> sensor_;
};

}  // namespace vostrel
