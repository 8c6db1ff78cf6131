#include "tracing/propagation.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <istream>
#include <new>
#include <ostream>
#include <string_view>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "tracing/header_key_set.h"
#include "tracing/identifiers.h"

namespace vostrel {

namespace {

constexpr std::string_view traceIdHeader = "X-VOSTREL-T";
constexpr std::string_view spanIdHeader = "X-VOSTREL-S";
constexpr std::string_view levelHeader = "X-VOSTREL-L";
constexpr std::string_view baggagePrefix = "X-VOSTREL-B-";
constexpr std::string_view syntheticHeader = "X-VOSTREL-SYNTHETIC";

// The parts of the names above that extraction compares separately.
constexpr std::string_view headerPrefix = "X-VOSTREL-";
constexpr std::string_view traceIdSuffix = traceIdHeader.substr(headerPrefix.size());
constexpr std::string_view spanIdSuffix = spanIdHeader.substr(headerPrefix.size());
constexpr std::string_view levelSuffix = levelHeader.substr(headerPrefix.size());
constexpr std::string_view syntheticSuffix = syntheticHeader.substr(headerPrefix.size());
constexpr std::string_view baggageSuffix = baggagePrefix.substr(headerPrefix.size());

constexpr std::string_view correlationTypeTag = "correlationType=";
constexpr std::string_view correlationIdTag = "correlationId=";
constexpr std::size_t maxCorrelationIdLength = 16;

std::string_view toStd(opentracing::string_view s) noexcept { return {s.data(), s.size()}; }
opentracing::string_view toOt(std::string_view s) noexcept { return {s.data(), s.size()}; }

std::error_code notEnoughMemory() { return std::make_error_code(std::errc::not_enough_memory); }
std::error_code ioError() { return std::make_error_code(std::errc::io_error); }

// Host carriers may throw despite their expected<> interface; those
// failures are reported as the carrier's, never passed into the host.
std::error_code carrierFailure() { return opentracing::invalid_carrier_error; }

void insertFirst(StringMap& map, std::string_view key, std::string_view value) {
  map.try_emplace(std::string(key), value);
}

void applyLevel(std::string_view value, bool& level, StringMap& extraFields) {
  level = true;
  if (value.empty()) return;
  if (value[0] == '0') {
    level = false;
    return;
  }
  if (value.size() < 2 + correlationTypeTag.size() || value[0] != '1' || value[1] != ',' ||
      value.substr(2, correlationTypeTag.size()) != correlationTypeTag) {
    return;
  }
  const std::string_view rest = value.substr(2 + correlationTypeTag.size());
  const std::size_t semicolon = rest.find(';');
  if (semicolon == std::string_view::npos) return;
  const std::string_view afterSemicolon = rest.substr(semicolon + 1);
  if (afterSemicolon.substr(0, correlationIdTag.size()) != correlationIdTag) return;
  insertFirst(extraFields, "crid", afterSemicolon.substr(correlationIdTag.size(), maxCorrelationIdLength));
  insertFirst(extraFields, "crtp", rest.substr(0, semicolon));
}

template <class T>
void writeRaw(std::ostream& stream, T value) {
  stream.write(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
bool readRaw(std::istream& stream, T& value) {
  return static_cast<bool>(stream.read(reinterpret_cast<char*>(&value), sizeof value));
}

bool fitsBinaryForm(const StringMap& map) noexcept {
  for (const auto& entry : map) {
    if (entry.first.size() > maxBinaryFieldLength || entry.second.size() > maxBinaryFieldLength) return false;
  }
  return true;
}

void writeMap(std::ostream& stream, const StringMap& map) {
  writeRaw(stream, static_cast<uint32_t>(map.size()));
  for (const auto& entry : map) {
    writeRaw(stream, static_cast<uint32_t>(entry.first.size()));
    stream.write(entry.first.data(), static_cast<std::streamsize>(entry.first.size()));
    writeRaw(stream, static_cast<uint32_t>(entry.second.size()));
    stream.write(entry.second.data(), static_cast<std::streamsize>(entry.second.size()));
  }
}

enum class ReadResult { ok, shortRead, corrupted };

ReadResult readField(std::istream& stream, std::string& out) {
  uint32_t length = 0;
  if (!readRaw(stream, length)) return ReadResult::shortRead;
  // The length comes from the wire: bound it before it sizes an allocation.
  if (length > maxBinaryFieldLength) return ReadResult::corrupted;
  out.resize(length);
  if (length != 0 && !stream.read(&out[0], length)) return ReadResult::shortRead;
  return ReadResult::ok;
}

ReadResult readMap(std::istream& stream, StringMap& map) {
  int32_t count = 0;
  if (!readRaw(stream, count)) return ReadResult::shortRead;
  std::string key;
  std::string value;
  // Stops at the first short read, so a forged count cannot spin.
  for (int32_t i = 0; i < count; ++i) {
    ReadResult result = readField(stream, key);
    if (result != ReadResult::ok) return result;
    result = readField(stream, value);
    if (result != ReadResult::ok) return result;
    map.insert_or_assign(key, value);
  }
  return ReadResult::ok;
}

// value[b]: the digit byte b stands for, or -1. A table: ids are parsed on
// every extraction.
struct HexDigits {
  signed char value[256];
  constexpr HexDigits() : value() {
    for (int b = 0; b < 256; ++b) value[b] = -1;
    for (int d = 0; d < 10; ++d) value['0' + d] = static_cast<signed char>(d);
    for (int d = 0; d < 6; ++d) {
      value['a' + d] = static_cast<signed char>(10 + d);
      value['A' + d] = static_cast<signed char>(10 + d);
    }
  }
};
constexpr HexDigits hexDigits;

int hexDigitValue(unsigned char c) noexcept { return hexDigits.value[c]; }

#if defined(__SSE2__) && defined(__x86_64__)
// Exactly sixteen digits, the form every id header of ours carries, in one
// pass over a vector; false when some byte is not a hexadecimal digit.
bool parseSixteenHexDigits(const char* text, uint64_t& value) noexcept {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  // Setting 0x20 folds A-F onto a-f and nothing else onto them. Bytes from
  // 0x80 up compare as negative, so as neither.
  const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
  const __m128i isDigit =
      _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
  const __m128i isLetter =
      _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
  if (_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) != 0xFFFF) return false;
  // The low four bits are the digit; letters count from 1, so add 9.
  const __m128i nibbles =
      _mm_add_epi8(_mm_and_si128(bytes, _mm_set1_epi8(0x0F)), _mm_and_si128(isLetter, _mm_set1_epi8(9)));
  // Each 16-bit lane holds a digit pair, the first in its low byte.
  const __m128i pairs = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4),
                                     _mm_srli_epi16(nibbles, 8));
  const uint64_t mostSignificantFirst = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(pairs, pairs)));
  value = __builtin_bswap64(mostSignificantFirst);
  return true;
}
#endif

// isspace of the "C" locale, whatever locale the host has set.
bool isBlank(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

opentracing::expected<void> injectSpanContext(const opentracing::TextMapWriter& writer, uint64_t traceId,
                                              uint64_t spanId, bool level, const StringMap& baggage) {
  try {
    char digits[16];
    auto result = writer.Set(toOt(traceIdHeader), formatHexId(traceId, digits));
    if (!result) return result;
    result = writer.Set(toOt(spanIdHeader), formatHexId(spanId, digits));
    if (!result) return result;
    result = writer.Set(toOt(levelHeader), level ? "1" : "0");
    if (!result) return result;
    if (baggage.empty()) return {};

    std::size_t longestKey = 0;
    for (const auto& entry : baggage) longestKey = std::max(longestKey, entry.first.size());
    std::string key;
    key.reserve(baggagePrefix.size() + longestKey);
    key.assign(baggagePrefix.data(), baggagePrefix.size());
    for (const auto& entry : baggage) {
      key.resize(baggagePrefix.size());
      key.append(entry.first);
      result = writer.Set(key, entry.second);
      if (!result) return result;
    }
    return {};
  } catch (const std::bad_alloc&) {
    return opentracing::make_unexpected(notEnoughMemory());
  } catch (...) {
    return opentracing::make_unexpected(carrierFailure());
  }
}

opentracing::expected<void> injectSpanContext(std::ostream& stream, uint64_t traceId, uint64_t spanId,
                                              bool level, const StringMap& baggage,
                                              const StringMap& extraFields) {
  // Writing what extraction refuses would leave an unreadable record.
  if (!fitsBinaryForm(baggage) || !fitsBinaryForm(extraFields)) {
    return opentracing::make_unexpected(std::make_error_code(std::errc::value_too_large));
  }
  try {
    writeRaw(stream, traceId);
    writeRaw(stream, spanId);
    writeRaw(stream, static_cast<uint8_t>(level ? 1 : 0));
    writeMap(stream, baggage);
    writeMap(stream, extraFields);
    stream.flush();
    if (stream.fail()) return opentracing::make_unexpected(ioError());
    return {};
  } catch (const std::bad_alloc&) {
    return opentracing::make_unexpected(notEnoughMemory());
  } catch (...) {
    // A stream with exceptions enabled.
    return opentracing::make_unexpected(ioError());
  }
}

template <class KeyCompare>
opentracing::expected<bool> extractSpanContextImpl(const opentracing::TextMapReader& reader, uint64_t& traceId,
                                                   uint64_t& spanId, bool& level, const HeaderKeySet* headerKeys,
                                                   StringMap& baggage, StringMap& extraFields,
                                                   StringMap& capturedHeaders, KeyCompare compare) {
  int idHeaders = 0;
  const bool capturing = headerKeys != nullptr && !headerKeys->empty();
  auto visit = [&](opentracing::string_view key, opentracing::string_view value) -> opentracing::expected<void> {
    try {
      const std::string_view k = toStd(key);
      const std::string_view v = toStd(value);
      // All our headers share one prefix: compare it once, then only the
      // rest. Keys compare byte by byte, so this is the same test.
      const bool ours = k.size() > headerPrefix.size() && compare(toOt(k.substr(0, headerPrefix.size())),
                                                                  toOt(headerPrefix));
      const std::string_view rest = ours ? k.substr(headerPrefix.size()) : std::string_view();
      uint64_t* id = !ours                                      ? nullptr
                     : compare(toOt(rest), toOt(traceIdSuffix)) ? &traceId
                     : compare(toOt(rest), toOt(spanIdSuffix))  ? &spanId
                                                                : nullptr;
      if (id != nullptr) {
        const auto parsed = parseHexId(value);
        if (!parsed) return opentracing::make_unexpected(opentracing::span_context_corrupted_error);
        *id = *parsed;
        ++idHeaders;
      } else if (ours) {
        if (compare(toOt(rest), toOt(levelSuffix))) {
          applyLevel(v, level, extraFields);
        } else if (compare(toOt(rest), toOt(syntheticSuffix))) {
          if (v == "1") insertFirst(extraFields, "sy", "true");
        } else if (rest.size() > baggageSuffix.size() &&
                   compare(toOt(rest.substr(0, baggageSuffix.size())), toOt(baggageSuffix))) {
          insertFirst(baggage, rest.substr(baggageSuffix.size()), v);
        }
      }
      if (capturing) {
        if (const std::string* name = headerKeys->find(key)) insertFirst(capturedHeaders, *name, v);
      }
      return {};
    } catch (const std::bad_alloc&) {
      return opentracing::make_unexpected(notEnoughMemory());
    }
  };

  opentracing::expected<void> result;
  try {
    // By reference: the std::function then needs no allocation per request.
    result = reader.ForeachKey(std::ref(visit));
  } catch (const std::bad_alloc&) {
    return opentracing::make_unexpected(notEnoughMemory());
  } catch (...) {
    return opentracing::make_unexpected(carrierFailure());
  }
  if (!result) return opentracing::make_unexpected(result.error());

  if (!capturedHeaders.empty() || !extraFields.empty()) {
    if (idHeaders != 2) {
      traceId = 0;
      spanId = 0;
      level = true;
    }
    return true;
  }
  if (idHeaders == 0) return false;
  if (idHeaders == 2) return true;
  return opentracing::make_unexpected(opentracing::span_context_corrupted_error);
}

template opentracing::expected<bool> extractSpanContextImpl<ExactKeyCompare>(
    const opentracing::TextMapReader&, uint64_t&, uint64_t&, bool&, const HeaderKeySet*, StringMap&, StringMap&,
    StringMap&, ExactKeyCompare);
template opentracing::expected<bool> extractSpanContextImpl<CaseInsensitiveKeyCompare>(
    const opentracing::TextMapReader&, uint64_t&, uint64_t&, bool&, const HeaderKeySet*, StringMap&, StringMap&,
    StringMap&, CaseInsensitiveKeyCompare);

opentracing::expected<bool> extractSpanContext(std::istream& stream, uint64_t& traceId, uint64_t& spanId,
                                               bool& level, StringMap& baggage, StringMap& extraFields) {
  try {
    if (stream.fail()) return opentracing::make_unexpected(ioError());
    if (stream.peek() == std::istream::traits_type::eof()) return false;
    uint8_t levelByte = 0;
    if (!readRaw(stream, traceId) || !readRaw(stream, spanId) || !readRaw(stream, levelByte)) {
      return opentracing::make_unexpected(ioError());
    }
    level = levelByte != 0;
    ReadResult result = readMap(stream, baggage);
    if (result == ReadResult::ok) result = readMap(stream, extraFields);
    if (result == ReadResult::corrupted) {
      return opentracing::make_unexpected(opentracing::span_context_corrupted_error);
    }
    if (result == ReadResult::shortRead || stream.fail()) return opentracing::make_unexpected(ioError());
    return true;
  } catch (const std::bad_alloc&) {
    return opentracing::make_unexpected(notEnoughMemory());
  } catch (...) {
    return opentracing::make_unexpected(ioError());
  }
}

opentracing::expected<uint64_t> parseHexId(opentracing::string_view text) noexcept {
  const auto invalid = [] { return opentracing::make_unexpected(std::make_error_code(std::errc::invalid_argument)); };
#if defined(__SSE2__) && defined(__x86_64__)
  if (uint64_t value; text.size() == 16 && parseSixteenHexDigits(text.data(), value)) return value;
#endif
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin == end) return invalid();
  while (begin != end && isBlank(*begin)) ++begin;
  while (end != begin && isBlank(end[-1])) --end;
  if (begin == end) return invalid();
  while (begin != end && *begin == '0') ++begin;
  if (end - begin > 16) {
    return opentracing::make_unexpected(std::make_error_code(std::errc::value_too_large));
  }
  // Checked once at the end: a non-digit makes some value negative.
  uint64_t value = 0;
  int any = 0;
  for (; begin != end; ++begin) {
    const int digit = hexDigitValue(static_cast<unsigned char>(*begin));
    any |= digit;
    value = (value << 4) | static_cast<uint64_t>(digit & 15);
  }
  if (any < 0) return invalid();
  return value;
}

}  // namespace vostrel
