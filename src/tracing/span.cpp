#include "tracing/span.h"

#include <algorithm>
#include <typeinfo>

#include "plugin/tracer_impl.h"
#include "tracing/identifiers.h"
#include "tracing/propagation.h"

namespace vostrel {

namespace {

const opentracing::string_view samplingPriority = "sampling.priority";

int64_t millisecondsSinceEpoch(opentracing::SystemTime time) noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count() / 1000000;
}

// A zero time stands for "now".
int64_t logTimestamp(opentracing::SystemTime time) noexcept {
  return millisecondsSinceEpoch(time.time_since_epoch().count() == 0 ? opentracing::SystemClock::now() : time);
}

struct OwnedValue {
  opentracing::Value operator()(const char* text) const {
    if (text == nullptr) return nullptr;
    return std::string(text);
  }
#if VOSTREL_OPENTRACING_ABI >= 3
  opentracing::Value operator()(opentracing::string_view text) const { return std::string(text.data(), text.size()); }
#endif
  opentracing::Value operator()(const opentracing::Values& values) const {
    opentracing::Values copy;
    copy.reserve(values.size());
    for (const auto& element : values) copy.push_back(ownedValue(element));
    return copy;
  }
  opentracing::Value operator()(const opentracing::Dictionary& dictionary) const {
    opentracing::Dictionary copy;
    copy.reserve(dictionary.size());
    for (const auto& entry : dictionary) copy.emplace(entry.first, ownedValue(entry.second));
    return copy;
  }
  template <class T>
  opentracing::Value operator()(const T& plain) const {
    return plain;
  }
};

struct PriorityLevel {
  bool operator()(int64_t value) const noexcept { return value != 0; }
  bool operator()(uint64_t value) const noexcept { return value != 0; }
  template <class T>
  bool operator()(const T&) const noexcept {
    return true;
  }
};

}  // namespace

const SpanContext* ownSpanContext(const opentracing::SpanContext* context) noexcept {
  if (context == nullptr) return nullptr;
  // Our two final classes compare by type at the cost of a pointer test,
  // where dynamic_cast walks the hierarchy.
  const std::type_info& type = typeid(*context);
  if (type == typeid(Span)) return static_cast<const Span*>(context);
  if (type == typeid(ImmutableSpanContext)) return static_cast<const ImmutableSpanContext*>(context);
  return dynamic_cast<const SpanContext*>(context);
}

bool levelFromPriority(const opentracing::Value& value) noexcept {
  return opentracing::util::apply_visitor(PriorityLevel{}, value);
}

opentracing::Value ownedValue(const opentracing::Value& value) {
  return opentracing::util::apply_visitor(OwnedValue{}, value);
}

template <class Visit>
bool Span::guarded(const char* operation, Visit&& visit) const noexcept {
  try {
    visit();
    return true;
  } catch (const std::exception& e) {
    tracer_->logger().log(LogLevel::error, operation, " failed: ", e.what());
    return false;
  }
}

Span::Span(std::shared_ptr<const TracerImpl> tracer, opentracing::string_view operationName,
           const opentracing::StartSpanOptions& options)
    : tracer_(std::move(tracer)), operationName_(operationName.data(), operationName.size()) {
  // Nobody else sees this span yet, so it takes no lock of its own.
  const bool hasParent = checkAndSetParent(options);
  // Correlation and synthetic data always open a trace of their own.
  if (!hasParent || !extraFields_.empty()) {
    traceId_ = generateId();
    parentId_ = 0;
  }
  spanId_ = generateId();

  using namespace std::chrono;
  const bool systemGiven = options.start_system_timestamp.time_since_epoch().count() != 0;
  const bool steadyGiven = options.start_steady_timestamp.time_since_epoch().count() != 0;
  opentracing::SystemTime systemStart;
  if (systemGiven) {
    systemStart = options.start_system_timestamp;
    startSteady_ = steadyGiven ? options.start_steady_timestamp
                               : steady_clock::now() + duration_cast<steady_clock::duration>(
                                                           systemStart - system_clock::now());
  } else if (steadyGiven) {
    startSteady_ = options.start_steady_timestamp;
    systemStart = system_clock::now() + duration_cast<system_clock::duration>(startSteady_ - steady_clock::now());
  } else {
    systemStart = system_clock::now();
    startSteady_ = steady_clock::now();
  }
  startTimestamp_ = millisecondsSinceEpoch(systemStart);

  // Of equal keys the last one wins, for the level too.
  for (const auto& tag : options.tags) {
    tags_.set(tag.first, tag.second);
    if (tag.first == samplingPriority) level_ = levelFromPriority(tag.second);
  }
}

bool Span::checkAndSetParent(const opentracing::StartSpanOptions& options) {
  const auto& references = options.references;
  if (references.empty()) return false;
  if (references.size() > 1) {
    tracer_->logger().log(LogLevel::warn, "Span created with ", references.size(),
                          " references; ignoring all but the first");
  }
  const opentracing::SpanContext* reference = references.front().second;
  if (reference == nullptr) return false;
  const SpanContext* parent = ownSpanContext(reference);
  if (parent == nullptr) {
    tracer_->logger().log(LogLevel::error, "Passed in span reference of unexpected type");
    return false;
  }
  capturedHeaders_ = parent->sharedCapturedHeaders();
  parent->ForeachBaggageItem([this](const std::string& key, const std::string& value) {
    baggage_.insert_or_assign(key, value);
    return true;
  });
  parent->foreachExtraField([this](const std::string& key, const std::string& value) {
    extraFields_.insert_or_assign(key, value);
    return true;
  });
  level_ = parent->level();
  if (parent->traceId() == 0 && parent->spanId() == 0) return false;
  traceId_ = parent->traceId();
  parentId_ = parent->spanId();
  return true;
}

Span::~Span() {
  if (finished_.load(std::memory_order_acquire)) return;
  opentracing::FinishSpanOptions options;
  options.finish_steady_timestamp = opentracing::SteadyClock::now();
  FinishWithOptions(options);
}

void Span::FinishWithOptions(const opentracing::FinishSpanOptions& options) noexcept {
  if (finished_.exchange(true, std::memory_order_acq_rel)) return;
  guarded("FinishWithOptions", [&] {
    std::lock_guard<SpinLock> lock(mutex_);
    if (!level_) return;
    for (const auto& record : options.log_records) {
      LogEntry entry{logTimestamp(record.timestamp), {}};
      entry.fields.reserve(record.fields.size());
      for (const auto& field : record.fields) entry.fields.emplace_back(field.first, ownedValue(field.second));
      logs_.push_back(std::move(entry));
    }
    ByteBuffer record = serializeSpan(*this, options);
    // A refused record stays in the handle and is freed with it.
    tracer_->sensor().recorder().record(record);
  });
}

void Span::SetOperationName(opentracing::string_view name) noexcept {
  guarded("SetOperationName", [&] {
    std::lock_guard<SpinLock> lock(mutex_);
    operationName_.assign(name.data(), name.size());
  });
}

void Span::SetTag(opentracing::string_view key, const opentracing::Value& value) noexcept {
  guarded("SetTag", [&] {
    std::lock_guard<SpinLock> lock(mutex_);
    tags_.set(key, value);
    if (key == samplingPriority) level_ = levelFromPriority(value);
  });
}

void Span::SetBaggageItem(opentracing::string_view key, opentracing::string_view value) noexcept {
  guarded("SetBaggageItem", [&] {
    std::lock_guard<SpinLock> lock(mutex_);
    baggage_.emplace(std::string(key.data(), key.size()), std::string(value.data(), value.size()));
  });
}

std::string Span::BaggageItem(opentracing::string_view key) const noexcept {
  std::string value;
  const bool ok = guarded("BaggageItem", [&] {
    std::lock_guard<SpinLock> lock(mutex_);
    const auto item = baggage_.find(std::string(key.data(), key.size()));
    if (item != baggage_.end()) value = item->second;
  });
  if (!ok) value.clear();
  return value;
}

template <class Fields>
void Span::appendLog(int64_t timestamp, const Fields& fields) {
  LogEntry entry{timestamp, {}};
  entry.fields.reserve(fields.size());
  for (const auto& field : fields) {
    entry.fields.emplace_back(std::string(field.first.data(), field.first.size()), ownedValue(field.second));
  }
  // std::string compares bytes as unsigned characters, a prefix first.
  std::stable_sort(entry.fields.begin(), entry.fields.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  entry.fields.erase(std::unique(entry.fields.begin(), entry.fields.end(),
                                 [](const auto& a, const auto& b) { return a.first == b.first; }),
                     entry.fields.end());
  std::lock_guard<SpinLock> lock(mutex_);
  logs_.push_back(std::move(entry));
}

void Span::Log(std::initializer_list<std::pair<opentracing::string_view, opentracing::Value>> fields) noexcept {
  guarded("Log", [&] { appendLog(millisecondsSinceEpoch(opentracing::SystemClock::now()), fields); });
}

#if VOSTREL_OPENTRACING_ABI >= 3
void Span::Log(opentracing::SystemTime timestamp,
               std::initializer_list<std::pair<opentracing::string_view, opentracing::Value>> fields) noexcept {
  guarded("Log", [&] { appendLog(logTimestamp(timestamp), fields); });
}

void Span::Log(opentracing::SystemTime timestamp,
               const std::vector<std::pair<opentracing::string_view, opentracing::Value>>& fields) noexcept {
  guarded("Log", [&] { appendLog(logTimestamp(timestamp), fields); });
}

std::unique_ptr<opentracing::SpanContext> Span::Clone() const noexcept {
  try {
    std::lock_guard<SpinLock> lock(mutex_);
    return ImmutableSpanContext::sharingHeaders(traceId_, spanId_, level_, baggage_, extraFields_, capturedHeaders_);
  } catch (const std::exception& e) {
    tracer_->logger().log(LogLevel::error, "Clone failed: ", e.what());
    return nullptr;
  }
}

std::string Span::ToTraceID() const noexcept {
  try {
    char text[16];
    const auto hex = formatHexId(traceId_, text);
    return std::string(hex.data(), hex.size());
  } catch (...) {
    return {};
  }
}

std::string Span::ToSpanID() const noexcept {
  try {
    char text[16];
    const auto hex = formatHexId(spanId_, text);
    return std::string(hex.data(), hex.size());
  } catch (...) {
    return {};
  }
}
#endif

const opentracing::Tracer& Span::tracer() const noexcept { return *tracer_; }

void Span::ForeachBaggageItem(StringVisitor visitor) const {
  std::lock_guard<SpinLock> lock(mutex_);
  for (const auto& item : baggage_) {
    if (!visitor(item.first, item.second)) return;
  }
}

void Span::foreachExtraField(StringVisitor visitor) const {
  std::lock_guard<SpinLock> lock(mutex_);
  for (const auto& field : extraFields_) {
    if (!visitor(field.first, field.second)) return;
  }
}

bool Span::level() const noexcept {
  std::lock_guard<SpinLock> lock(mutex_);
  return level_;
}

opentracing::expected<void> Span::inject(std::ostream& writer) const {
  std::lock_guard<SpinLock> lock(mutex_);
  return injectSpanContext(writer, traceId_, spanId_, true, baggage_, extraFields_);
}

opentracing::expected<void> Span::inject(const opentracing::TextMapWriter& writer) const {
  std::lock_guard<SpinLock> lock(mutex_);
  return injectSpanContext(writer, traceId_, spanId_, true, baggage_);
}

opentracing::expected<void> Span::inject(const opentracing::HTTPHeadersWriter& writer) const {
  std::lock_guard<SpinLock> lock(mutex_);
  return injectSpanContext(writer, traceId_, spanId_, true, baggage_);
}

}  // namespace vostrel
