#include "reporting/span_serializer.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <unordered_set>

#include "agent/secret_filter.h"
#include "plugin/tracer_impl.h"
#include "reporting/json_writer.h"

namespace vostrel {

namespace {

// Scratch buffers above this size are given back after use, so one huge span
// does not pin its memory in every host thread.
constexpr std::size_t maxKeptScratch = 64 * 1024;

template <std::size_t N>
void literal(std::string& out, const char (&text)[N]) {
  out.append(text, N - 1);
}

void appendString(std::string& out, const std::string& text) { appendJsonString(out, text.data(), text.size()); }

// "key":"value" pairs separated by commas.
void appendStringMembers(std::string& out, const StringMap& map) {
  bool first = true;
  for (const auto& entry : map) {
    if (!first) literal(out, ",");
    first = false;
    appendString(out, entry.first);
    literal(out, ":");
    appendString(out, entry.second);
  }
}

// The text a value holds, or null for values that are not text.
struct TextOf {
  std::string_view operator()(const std::string& text) const { return text; }
  std::string_view operator()(const char* text) const { return text; }
#if VOSTREL_OPENTRACING_ABI >= 3
  std::string_view operator()(opentracing::string_view text) const { return {text.data(), text.size()}; }
#endif
  template <class T>
  std::string_view operator()(const T&) const {
    return {nullptr, 0};
  }
};

// Member names already written into one log member; linear while small.
class WrittenKeys {
 public:
  // True when key was not written before (and records it).
  bool insert(const std::string& key) {
    if (!large_.empty()) return large_.insert(key).second;
    if (std::find(small_.begin(), small_.end(), std::string_view(key)) != small_.end()) return false;
    small_.push_back(key);
    if (small_.size() > 16) {
      large_.insert(small_.begin(), small_.end());
      small_.clear();
    }
    return true;
  }
  void clear() {
    small_.clear();
    large_.clear();
  }
  bool empty() const { return small_.empty() && large_.empty(); }

 private:
  std::vector<std::string_view> small_;
  std::unordered_set<std::string_view> large_;
};

// One member per millisecond. Records of the same millisecond are merged in
// recording order rather than dropped, the first value of a key winning, so
// no field is lost and no member name repeats.
void appendLogs(std::string& out, const std::vector<LogEntry>& logs) {
  std::vector<const LogEntry*> order;
  order.reserve(logs.size());
  for (const auto& entry : logs) order.push_back(&entry);
  const auto earlier = [](const LogEntry* a, const LogEntry* b) { return a->timestamp < b->timestamp; };
  if (!std::is_sorted(order.begin(), order.end(), earlier)) std::stable_sort(order.begin(), order.end(), earlier);

  WrittenKeys written;
  literal(out, "{");
  for (std::size_t i = 0; i < order.size(); ++i) {
    const LogEntry& entry = *order[i];
    if (i == 0 || entry.timestamp != order[i - 1]->timestamp) {
      if (i != 0) literal(out, "},");
      literal(out, "\"");
      appendDecimal(out, entry.timestamp);
      literal(out, "\":{");
      written.clear();
    }
    for (const auto& field : entry.fields) {
      const bool first = written.empty();
      if (!written.insert(field.first)) continue;
      if (!first) literal(out, ",");
      appendString(out, field.first);
      literal(out, ":");
      appendJsonValue(out, field.second);
    }
  }
  if (!order.empty()) literal(out, "}");
  literal(out, "}");
}

}  // namespace

ByteBuffer serializeSpan(const Span& span, const opentracing::FinishSpanOptions& options) {
  // Formatting into one string and handing it to the buffer in one append is
  // much cheaper than many small evbuffer appends.
  thread_local std::string scratch;
  std::string& out = scratch;
  out.clear();

  literal(out, ",{\"t\":");
  appendDecimal(out, static_cast<int64_t>(span.traceId_));
  if (span.parentId_ != 0) {
    literal(out, ",\"p\":");
    appendDecimal(out, static_cast<int64_t>(span.parentId_));
  }
  literal(out, ",\"s\":");
  appendDecimal(out, static_cast<int64_t>(span.spanId_));
  literal(out, ",\"ts\":");
  appendDecimal(out, span.startTimestamp_);
  const auto finish = options.finish_steady_timestamp.time_since_epoch().count() != 0
                          ? options.finish_steady_timestamp
                          : std::chrono::steady_clock::now();
  literal(out, ",\"d\":");
  appendDecimal(out, std::chrono::duration_cast<std::chrono::nanoseconds>(finish - span.startSteady_).count() / 1000000);

  for (const auto& field : span.extraFields_) {
    literal(out, ",");
    appendString(out, field.first);
    literal(out, ":");
    if (field.second == "true" || field.second == "false") {
      out.append(field.second);
    } else {
      appendString(out, field.second);
    }
  }

  literal(out, ",\"data\":{\"sdk\":{\"name\":");
  appendString(out, span.operationName_);

  if (!span.tags_.empty() || !span.capturedHeaders_.empty() || !span.baggage_.empty() || !span.logs_.empty()) {
    literal(out, ",\"custom\":{\"tags\":{");
    // Taken only when a URL is to be redacted: the snapshot is an atomic load.
    std::shared_ptr<const SecretFilter> filter;
    bool filterTaken = false;
    bool first = true;
    for (const auto& tag : span.tags_) {
      if (!first) literal(out, ",");
      first = false;
      appendString(out, tag.first);
      literal(out, ":");
      const std::string_view url =
          tag.first == "http.url" ? opentracing::util::apply_visitor(TextOf{}, tag.second) : std::string_view();
      if (url.data() != nullptr) {
        if (!filterTaken) {
          filter = span.tracer_->sensor().secretFilter();
          filterTaken = true;
        }
        if (filter) {
          const std::string redacted = redactQueryString(*filter, url.data(), url.size());
          appendString(out, redacted);
          continue;
        }
      }
      appendJsonValue(out, tag.second);
    }
    if (!span.capturedHeaders_.empty()) {
      if (!first) literal(out, ",");
      literal(out, "\"http.header\":{");
      appendStringMembers(out, span.capturedHeaders_);
      literal(out, "}");
    }
    literal(out, "}");
    if (!span.logs_.empty()) {
      literal(out, ",\"logs\":");
      appendLogs(out, span.logs_);
    }
    if (!span.baggage_.empty()) {
      literal(out, ",\"baggage\":{");
      appendStringMembers(out, span.baggage_);
      literal(out, "}");
    }
    literal(out, "}");
  }
  literal(out, "}");

  ByteBuffer buffer;
  buffer.append(out.data(), out.size());
  if (out.capacity() > maxKeptScratch) std::string().swap(out);
  return buffer;
}

}  // namespace vostrel
