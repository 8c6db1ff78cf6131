#include "reporting/span_serializer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "agent/secret_filter.h"
#include "plugin/tracer_impl.h"
#include "reporting/json_writer.h"
#include "runtime/thread_local_slot.h"
#include "tracing/identifiers.h"

namespace vostrel {

namespace {

// Scratch buffers above this size are given back after use, so one huge span
// does not pin its memory in every host thread.
constexpr std::size_t maxKeptScratch = 64 * 1024;

// The calling thread's scratch text. Fragments are copied in place rather
// than through a library append each: a record is a few dozen of them. The
// string's size stays at its capacity between uses, so nothing is cleared;
// position() is the end of what was written.
class Scratch {
 public:
  explicit Scratch(std::string& storage) : storage_(storage) {
    if (storage_.size() < initialSize) storage_.resize(initialSize);
  }
  ~Scratch() {
    if (storage_.size() > maxKeptScratch) std::string().swap(storage_);
  }

  template <std::size_t N>
  void literal(const char (&text)[N]) {
    raw(text, N - 1);
  }
  void raw(const char* text, std::size_t length) {
    reserve(length);
    std::memcpy(&storage_[position_], text, length);
    position_ += length;
  }
  void decimal(int64_t value) {
    reserve(maxDecimalLength);
    position_ += writeDecimal(value, &storage_[position_]);
  }
  // Text that needs escapes is rewritten by the JSON writer.
  void string(const char* text, std::size_t length) {
    if (!isPlainJsonText(text, length)) {
      return delegate([&](std::string& target) { appendJsonString(target, text, length); });
    }
    reserve(length + 2);
    char* const out = &storage_[position_];
    out[0] = '"';
    std::memcpy(out + 1, text, length);
    out[length + 1] = '"';
    position_ += length + 2;
  }
  void string(const std::string& text) { string(text.data(), text.size()); }
  // The URL as the filter redacts it, as a JSON string.
  void redactedUrl(const SecretFilter& filter, const char* url, std::size_t length) {
    reserve(length + 2);
    char* const out = &storage_[position_];
    const std::size_t redactedLength = writeRedactedQueryString(out + 1, filter, url, length);
    if (!isPlainJsonText(out + 1, redactedLength)) {
      const std::string redacted(out + 1, redactedLength);
      return string(redacted);
    }
    out[0] = '"';
    out[redactedLength + 1] = '"';
    position_ += redactedLength + 2;
  }
  void value(const opentracing::Value& value) {
    if (value.is<std::string>()) return string(value.get<std::string>());
    if (value.is<int64_t>()) return decimal(value.get<int64_t>());
    if (value.is<bool>()) return value.get<bool>() ? literal("true") : literal("false");
    delegate([&](std::string& out) { appendJsonValue(out, value); });
  }
  const char* data() const noexcept { return storage_.data(); }
  std::size_t position() const noexcept { return position_; }

 private:
  static constexpr std::size_t initialSize = 1024;

  void reserve(std::size_t length) {
    if (position_ + length > storage_.size()) storage_.resize(std::max(2 * storage_.size(), position_ + length));
  }
  // Lets the JSON writer append for the rarer kinds.
  template <class Write>
  void delegate(Write&& write) {
    storage_.resize(position_);
    write(storage_);
    position_ = storage_.size();
    storage_.resize(storage_.capacity());
  }

  std::string& storage_;
  std::size_t position_ = 0;
};

// "key":"value" pairs separated by commas.
void appendStringMembers(Scratch& out, const StringMap& map) {
  bool first = true;
  for (const auto& entry : map) {
    if (!first) out.literal(",");
    first = false;
    out.string(entry.first);
    out.literal(":");
    out.string(entry.second);
  }
}

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
void appendLogs(Scratch& out, const std::vector<LogEntry>& logs) {
  std::vector<const LogEntry*> order;
  order.reserve(logs.size());
  for (const auto& entry : logs) order.push_back(&entry);
  const auto earlier = [](const LogEntry* a, const LogEntry* b) { return a->timestamp < b->timestamp; };
  if (!std::is_sorted(order.begin(), order.end(), earlier)) std::stable_sort(order.begin(), order.end(), earlier);

  WrittenKeys written;
  out.literal("{");
  for (std::size_t i = 0; i < order.size(); ++i) {
    const LogEntry& entry = *order[i];
    if (i == 0 || entry.timestamp != order[i - 1]->timestamp) {
      if (i != 0) out.literal("},");
      out.literal("\"");
      out.decimal(entry.timestamp);
      out.literal("\":{");
      written.clear();
    }
    for (const auto& field : entry.fields) {
      const bool first = written.empty();
      if (!written.insert(field.first)) continue;
      if (!first) out.literal(",");
      out.string(field.first);
      out.literal(":");
      out.value(field.second);
    }
  }
  if (!order.empty()) out.literal("}");
  out.literal("}");
}

}  // namespace

ByteBuffer serializeSpan(const Span& span, const opentracing::FinishSpanOptions& options) {
  // Formatting into one string and handing it to the buffer in one append is
  // much cheaper than many small evbuffer appends.
  std::string* const threadStorage = threadLocalSlot<Scratch, std::string>();
  std::string exitStorage;
  Scratch out(threadStorage != nullptr ? *threadStorage : exitStorage);

  out.literal(",{\"t\":");
  out.decimal(static_cast<int64_t>(span.traceId_));
  if (span.parentId_ != 0) {
    out.literal(",\"p\":");
    out.decimal(static_cast<int64_t>(span.parentId_));
  }
  out.literal(",\"s\":");
  out.decimal(static_cast<int64_t>(span.spanId_));
  out.literal(",\"ts\":");
  out.decimal(span.startTimestamp_);
  const auto finish = options.finish_steady_timestamp.time_since_epoch().count() != 0
                          ? options.finish_steady_timestamp
                          : std::chrono::steady_clock::now();
  out.literal(",\"d\":");
  out.decimal(std::chrono::duration_cast<std::chrono::nanoseconds>(finish - span.startSteady_).count() / 1000000);

  for (const auto& field : span.extraFields_) {
    out.literal(",");
    out.string(field.first);
    out.literal(":");
    if (field.second == "true" || field.second == "false") {
      out.raw(field.second.data(), field.second.size());
    } else {
      out.string(field.second);
    }
  }

  out.literal(",\"data\":{\"sdk\":{\"name\":");
  out.string(span.operationName_);

  if (!span.tags_.empty() || !span.capturedHeaders().empty() || !span.baggage_.empty() || !span.logs_.empty()) {
    out.literal(",\"custom\":{\"tags\":{");
    // Borrowed only when a URL is to be redacted.
    std::optional<Borrowed<SecretFilter>> filter;
    bool first = true;
    span.tags_.foreachMember([&](const RenderedTags::Member& member) {
      if (!first) out.literal(",");
      first = false;
      if (!member.rawUrl) return out.raw(member.text.data(), member.text.size());
      const std::size_t prefix = member.keyLength + 1;  // the key and ':'
      out.raw(member.text.data(), prefix);
      const char* const url = member.text.data() + prefix;
      const std::size_t urlLength = member.text.size() - prefix;
      if (!filter) filter.emplace(span.tracer_->sensor().borrowSecretFilter());
      if (!*filter) return out.string(url, urlLength);
      out.redactedUrl(**filter, url, urlLength);
    });
    if (!span.capturedHeaders().empty()) {
      if (!first) out.literal(",");
      out.literal("\"http.header\":{");
      appendStringMembers(out, span.capturedHeaders());
      out.literal("}");
    }
    out.literal("}");
    if (!span.logs_.empty()) {
      out.literal(",\"logs\":");
      appendLogs(out, span.logs_);
    }
    if (!span.baggage_.empty()) {
      out.literal(",\"baggage\":{");
      appendStringMembers(out, span.baggage_);
      out.literal("}");
    }
    out.literal("}");
  }
  out.literal("}");

  // A reused buffer keeps its memory on this thread (see SpareBuffers).
  ByteBuffer buffer = span.tracer_->sensor().recorder().spareBuffer();
  const std::size_t old = buffer ? buffer.size() : 0;
  if (!buffer) buffer = ByteBuffer();
  // Drained empty, a buffer frees its memory: one old byte is kept until the
  // record is in, so the record can go where the last one was.
  if (old > 1) buffer.drain(old - 1);
  buffer.append(out.data(), out.position());
  if (old > 0) buffer.drain(1);
  return buffer;
}

}  // namespace vostrel
