#include "reporting/json_writer.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "tracing/identifiers.h"

namespace vostrel {

namespace {

// Built at compile time, so writers work during static initialisation too.
struct EscapeTable {
  // text[b] holds length[b] bytes; length 0 means the byte is written as is.
  char text[256][6];
  unsigned char length[256];
  constexpr EscapeTable() : text{}, length{} {
    const char hex[] = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
      if (b < 0x20 || b >= 0x7F) {
        const char escaped[6] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
        for (int i = 0; i < 6; ++i) text[b][i] = escaped[i];
        length[b] = 6;
      }
    }
    shortEscape(0x08, 'b');
    shortEscape(0x09, 't');
    shortEscape(0x0A, 'n');
    shortEscape(0x0C, 'f');
    shortEscape(0x0D, 'r');
    shortEscape('"', '"');
    shortEscape('\\', '\\');
  }
  constexpr void shortEscape(int b, char c) {
    text[b][0] = '\\';
    text[b][1] = c;
    length[b] = 2;
  }
};

constexpr EscapeTable escapeTable;

template <class Out>
void appendDouble(Out& out, double value) {
  if (std::isnan(value)) return appendRaw(out, "\"NaN\"", 5);
  if (std::isinf(value)) return appendRaw(out, std::signbit(value) ? "\"-Inf\"" : "\"+Inf\"", 6);
  // "%f" of the largest double: 309 integer digits, sign, point and 6 decimals.
  char text[std::numeric_limits<double>::max_exponent10 + 20];
  const int length = std::snprintf(text, sizeof(text), "%f", value);
  appendRaw(out, text, static_cast<std::size_t>(length));
}

template <class Out>
struct ValueWriter {
  Out& out;
  void operator()(bool value) const { value ? appendRaw(out, "true", 4) : appendRaw(out, "false", 5); }
  void operator()(double value) const { appendDouble(out, value); }
  void operator()(int64_t value) const { appendDecimal(out, value); }
  void operator()(uint64_t value) const { appendUnsigned(out, value); }
  void operator()(const std::string& value) const { appendJsonString(out, value.data(), value.size()); }
#if VOSTREL_OPENTRACING_ABI >= 3
  void operator()(opentracing::string_view value) const { appendJsonString(out, value.data(), value.size()); }
#endif
  void operator()(std::nullptr_t) const { appendRaw(out, "null", 4); }
  void operator()(const char* value) const { appendJsonString(out, value, std::char_traits<char>::length(value)); }
  void operator()(const opentracing::Values& values) const {
    appendRaw(out, "[", 1);
    bool first = true;
    for (const auto& element : values) {
      if (!first) appendRaw(out, ",", 1);
      first = false;
      appendJsonValue(out, element);
    }
    appendRaw(out, "]", 1);
  }
  void operator()(const opentracing::Dictionary& dictionary) const {
    appendRaw(out, "{", 1);
    bool first = true;
    for (const auto& entry : dictionary) {
      if (!first) appendRaw(out, ",", 1);
      first = false;
      appendJsonString(out, entry.first.data(), entry.first.size());
      appendRaw(out, ":", 1);
      appendJsonValue(out, entry.second);
    }
    appendRaw(out, "}", 1);
  }
};

}  // namespace

template <class Out>
void appendEscaped(Out& out, const char* text, std::size_t length) {
  const char* run = text;
  const char* const end = text + length;
  for (const char* p = text; p != end; ++p) {
    const unsigned char byte = static_cast<unsigned char>(*p);
    const unsigned escapedLength = escapeTable.length[byte];
    if (escapedLength == 0) continue;
    if (p != run) appendRaw(out, run, static_cast<std::size_t>(p - run));
    appendRaw(out, escapeTable.text[byte], escapedLength);
    run = p + 1;
  }
  if (end != run) appendRaw(out, run, static_cast<std::size_t>(end - run));
}

template <class Out>
void appendJsonString(Out& out, const char* text, std::size_t length) {
  appendRaw(out, "\"", 1);
  appendEscaped(out, text, length);
  appendRaw(out, "\"", 1);
}

template <class Out>
void appendDecimal(Out& out, int64_t value) {
  appendRaw(out, formatDecimal(value));
}

template <class Out>
void appendUnsigned(Out& out, uint64_t value) {
  char text[20];
  char* p = text + sizeof(text);
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  appendRaw(out, p, static_cast<std::size_t>(text + sizeof(text) - p));
}

template <class Out>
void appendJsonValue(Out& out, const opentracing::Value& value) {
  opentracing::util::apply_visitor(ValueWriter<Out>{out}, value);
}

#define VOSTREL_INSTANTIATE_JSON_WRITER(Out)                                  \
  template void appendEscaped<Out>(Out&, const char*, std::size_t);          \
  template void appendJsonString<Out>(Out&, const char*, std::size_t);       \
  template void appendDecimal<Out>(Out&, int64_t);                           \
  template void appendUnsigned<Out>(Out&, uint64_t);                         \
  template void appendJsonValue<Out>(Out&, const opentracing::Value&);

VOSTREL_INSTANTIATE_JSON_WRITER(ByteBuffer)
VOSTREL_INSTANTIATE_JSON_WRITER(std::string)

}  // namespace vostrel
