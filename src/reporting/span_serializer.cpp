#include "reporting/span_serializer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_set>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "agent/secret_filter.h"
#include "plugin/tracer_impl.h"
#include "reporting/json_writer.h"
#include "tracing/identifiers.h"

namespace vostrel {

namespace {

// Scratch buffers above this size are given back after use, so one huge span
// does not pin its memory in every host thread.
constexpr std::size_t maxKeptScratch = 64 * 1024;

// plain[b]: byte b is written as it is inside a JSON string.
struct PlainBytes {
  bool plain[256];
  constexpr PlainBytes() : plain() {
    for (int b = 0x20; b <= 0x7E; ++b) plain[b] = b != '"' && b != '\\';
  }
};
constexpr PlainBytes plainBytes;

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
  // Copies and checks in one pass, sixteen bytes at a time where it can;
  // text that needs escapes is rewritten by the JSON writer.
  void string(const char* text, std::size_t length) {
    reserve(length + 2);
    char* const start = &storage_[position_];
    char* out = start;
    *out++ = '"';
    std::size_t i = 0;
#ifdef __SSE2__
    // Signed bytes below 0x20 are the controls and every byte from 0x80 up.
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i del = _mm_set1_epi8(0x7F);
    for (; i + 16 <= length; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      const __m128i special =
          _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(bytes, space), _mm_cmpeq_epi8(bytes, quote)),
                       _mm_or_si128(_mm_cmpeq_epi8(bytes, backslash), _mm_cmpeq_epi8(bytes, del)));
      if (_mm_movemask_epi8(special) != 0) {
        return delegate([&](std::string& target) { appendJsonString(target, text, length); });
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      out += 16;
    }
#endif
    for (; i < length; ++i) {
      const char c = text[i];
      if (!plainBytes.plain[static_cast<unsigned char>(c)]) {
        return delegate([&](std::string& target) { appendJsonString(target, text, length); });
      }
      *out++ = c;
    }
    *out++ = '"';
    position_ += static_cast<std::size_t>(out - start);
  }
  void string(const std::string& text) { string(text.data(), text.size()); }
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
  thread_local std::string storage;
  Scratch out(storage);

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
    for (const auto& tag : span.tags_) {
      if (!first) out.literal(",");
      first = false;
      out.string(tag.first);
      out.literal(":");
      const std::string_view url =
          tag.first == "http.url" ? opentracing::util::apply_visitor(TextOf{}, tag.second) : std::string_view();
      if (url.data() != nullptr) {
        if (!filter) filter.emplace(span.tracer_->sensor().borrowSecretFilter());
        if (*filter) {
          // Reused, so a redaction allocates nothing once the thread has warmed up.
          thread_local std::string redacted;
          redacted.clear();
          appendRedactedQueryString(redacted, **filter, url.data(), url.size());
          out.string(redacted);
          if (redacted.capacity() > maxKeptScratch) std::string().swap(redacted);
          continue;
        }
      }
      out.value(tag.second);
    }
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
  if (buffer) {
    buffer.drain(buffer.size());
  } else {
    buffer = ByteBuffer();
  }
  buffer.append(out.data(), out.position());
  return buffer;
}

}  // namespace vostrel
