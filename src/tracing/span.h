#pragma once

#include <opentracing/span.h>
#include <opentracing/tracer.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "reporting/byte_buffer.h"
#include "reporting/rendered_tags.h"
#include "tracing/span_context.h"

namespace vostrel {

class Span;
class TracerImpl;

// One log record of a span. Values own all their text.
struct LogEntry {
  int64_t timestamp;  // milliseconds since the epoch, system clock
  std::vector<std::pair<std::string, opentracing::Value>> fields;
};

// "sampling.priority": an integer 0 (signed or unsigned) switches reporting
// off; any other value, of any type, leaves it on.
bool levelFromPriority(const opentracing::Value& value) noexcept;

// A deep copy of value in which every text the value refers to without owning
// it (const char*, string_view) becomes an owned std::string, at any depth.
opentracing::Value ownedValue(const opentracing::Value& value);

// See reporting/span_serializer.h.
ByteBuffer serializeSpan(const Span& span, const opentracing::FinishSpanOptions& options);

// Span state is nearly always touched by one thread at a time: a lock that
// costs one atomic exchange when free, where a mutex costs two. A waiter
// spins briefly, then yields, so a holder preempted mid-finish is not starved.
class SpinLock {
 public:
  void lock() noexcept {
    while (locked_.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
        if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

// Our own context behind an OpenTracing one, or null for a foreign one.
const SpanContext* ownSpanContext(const opentracing::SpanContext* context) noexcept;

// The system's span, which is also its own span context. Created by
// TracerImpl::StartSpanWithOptions on a host thread and owned by the host.
// Every operation may be called from any thread; mutex_ guards the mutable
// state and is held through the whole of a finish, serialization and the
// hand-off to the recorder included. Keeps its tracer (and through it the
// logger and the sensor) alive until it is destroyed.
class Span final : public opentracing::Span, public SpanContext {
 public:
  // Takes its parent from the first reference of options; throws what
  // allocation and id generation throw.
  Span(std::shared_ptr<const TracerImpl> tracer, opentracing::string_view operationName,
       const opentracing::StartSpanOptions& options);
  // Finishes the span at the destruction time if it is still open.
  ~Span() override;

  // Reports the span once (unless its level is off); later calls do nothing.
  void FinishWithOptions(const opentracing::FinishSpanOptions& options) noexcept override;
  void SetOperationName(opentracing::string_view name) noexcept override;
  void SetTag(opentracing::string_view key, const opentracing::Value& value) noexcept override;
  // An existing item keeps its value.
  void SetBaggageItem(opentracing::string_view key, opentracing::string_view value) noexcept override;
  std::string BaggageItem(opentracing::string_view key) const noexcept override;
  // Fields sorted by key; of equal keys the first given stays.
  void Log(std::initializer_list<std::pair<opentracing::string_view, opentracing::Value>> fields) noexcept override;
#if VOSTREL_OPENTRACING_ABI >= 3
  void Log(opentracing::SystemTime timestamp,
           std::initializer_list<std::pair<opentracing::string_view, opentracing::Value>> fields) noexcept override;
  void Log(opentracing::SystemTime timestamp,
           const std::vector<std::pair<opentracing::string_view, opentracing::Value>>& fields) noexcept override;
  // An immutable snapshot of this span's context, or null on failure.
  std::unique_ptr<opentracing::SpanContext> Clone() const noexcept override;
  std::string ToTraceID() const noexcept override;
  std::string ToSpanID() const noexcept override;
#endif
  const opentracing::SpanContext& context() const noexcept override { return *this; }
  const opentracing::Tracer& tracer() const noexcept override;

  // The visitor runs under the span's lock and must not call back into it.
  void ForeachBaggageItem(StringVisitor visitor) const override;
  void foreachExtraField(StringVisitor visitor) const override;
  uint64_t traceId() const noexcept override { return traceId_; }
  uint64_t spanId() const noexcept override { return spanId_; }
  bool level() const noexcept override;
  // A span always injects level true, whatever its own level.
  opentracing::expected<void> inject(std::ostream& writer) const override;
  opentracing::expected<void> inject(const opentracing::TextMapWriter& writer) const override;
  opentracing::expected<void> inject(const opentracing::HTTPHeadersWriter& writer) const override;
  const StringMap& capturedHeaders() const noexcept override {
    return capturedHeaders_ ? *capturedHeaders_ : noCapturedHeaders();
  }
  std::shared_ptr<const StringMap> sharedCapturedHeaders() const noexcept override { return capturedHeaders_; }

  uint64_t parentId() const noexcept { return parentId_; }
  int64_t startTimestamp() const noexcept { return startTimestamp_; }
  std::chrono::steady_clock::time_point startSteady() const noexcept { return startSteady_; }

 private:
  friend ByteBuffer serializeSpan(const Span& span, const opentracing::FinishSpanOptions& options);

  // Inherits from the first reference; returns whether a parent was taken.
  bool checkAndSetParent(const opentracing::StartSpanOptions& options);
  template <class Fields>
  void appendLog(int64_t timestamp, const Fields& fields);
  template <class Visit>
  bool guarded(const char* operation, Visit&& visit) const noexcept;

  std::shared_ptr<const TracerImpl> tracer_;
  int64_t startTimestamp_ = 0;
  std::chrono::steady_clock::time_point startSteady_;
  mutable SpinLock mutex_;
  uint64_t traceId_ = 0;
  uint64_t spanId_ = 0;
  uint64_t parentId_ = 0;
  bool level_ = true;              // guarded by mutex_
  // Written by the constructor only; shared with the parent, null when empty.
  std::shared_ptr<const StringMap> capturedHeaders_;
  std::string operationName_;      // guarded by mutex_
  RenderedTags tags_;              // guarded by mutex_
  StringMap baggage_;              // guarded by mutex_
  StringMap extraFields_;          // guarded by mutex_
  std::vector<LogEntry> logs_;     // guarded by mutex_
  std::atomic<bool> finished_{false};
};

}  // namespace vostrel
