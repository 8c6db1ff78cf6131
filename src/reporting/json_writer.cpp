#include "reporting/json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "tracing/identifiers.h"

namespace vostrel {

namespace {

// plain[b]: byte b is written as it is inside a JSON string.
struct PlainBytes {
  bool plain[256];
  constexpr PlainBytes() : plain() {
    for (int b = 0x20; b <= 0x7E; ++b) plain[b] = b != '"' && b != '\\';
  }
};
constexpr PlainBytes plainBytes;

template <class Word>
Word load(const char* at) noexcept {
  Word word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Texts are checked many bytes at a time, since most need no escape at all.
// Short texts are covered by two overlapping loads, so no byte outside them
// is read.
#ifdef __SSE2__
// True when some byte of bytes needs an escape. Signed bytes below 0x20 are
// the controls and every byte from 0x80 up.
bool specialVector(__m128i bytes) noexcept {
  const __m128i found = _mm_or_si128(
      _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'))),
      _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x7F))));
  return _mm_movemask_epi8(found) != 0;
}
#else
constexpr uint64_t everyByte = 0x0101010101010101ull;
constexpr uint64_t highBits = 0x8080808080808080ull;

uint64_t zeroBytes(uint64_t word) noexcept { return (word - everyByte) & ~word & highBits; }

// Non-zero when some byte of word needs an escape: below 0x20, from 0x7F up,
// a quotation mark or a backslash.
uint64_t specialBytes(uint64_t word) noexcept {
  return (word & highBits) | ((word - 0x20 * everyByte) & ~word & highBits) | zeroBytes(word ^ (0x7F * everyByte)) |
         zeroBytes(word ^ ('"' * everyByte)) | zeroBytes(word ^ ('\\' * everyByte));
}
#endif

}  // namespace

bool isPlainJsonText(const char* text, std::size_t length) noexcept {
#ifdef __SSE2__
  const auto special = [](const char* at) {
    return specialVector(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  };
  if (length >= 16) {
    for (std::size_t i = 0; i + 16 <= length; i += 16) {
      if (special(text + i)) return false;
    }
    return !special(text + length - 16);
  }
  // Shorter texts in one vector of overlapping loads.
  if (length >= 8) {
    return !specialVector(_mm_set_epi64x(static_cast<int64_t>(load<uint64_t>(text + length - 8)),
                                         static_cast<int64_t>(load<uint64_t>(text))));
  }
  if (length >= 4) {
    const uint64_t word = load<uint32_t>(text) | uint64_t{load<uint32_t>(text + length - 4)} << 32;
    return !specialVector(_mm_set1_epi64x(static_cast<int64_t>(word)));
  }
#else
  if (length >= 16) {
    for (std::size_t i = 0; i + 8 <= length; i += 8) {
      if (specialBytes(load<uint64_t>(text + i))) return false;
    }
    return specialBytes(load<uint64_t>(text + length - 8)) == 0;
  }
  if (length >= 8) return (specialBytes(load<uint64_t>(text)) | specialBytes(load<uint64_t>(text + length - 8))) == 0;
  if (length >= 4) {
    const uint64_t word = load<uint32_t>(text) | uint64_t{load<uint32_t>(text + length - 4)} << 32;
    return specialBytes(word) == 0;
  }
#endif
  for (std::size_t i = 0; i < length; ++i) {
    if (!plainBytes.plain[static_cast<unsigned char>(text[i])]) return false;
  }
  return true;
}

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
  void operator()(const char* value) const {
    if (value == nullptr) return appendRaw(out, "null", 4);
    appendJsonString(out, value, std::char_traits<char>::length(value));
  }
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
