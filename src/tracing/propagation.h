#pragma once

#include <opentracing/propagation.h>
#include <opentracing/string_view.h>
#include <opentracing/util.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <system_error>

#include "tracing/string_map.h"

namespace vostrel {

class HeaderKeySet;

// Trace-context headers and their binary form for stream carriers. Every
// routine runs on the calling thread, never throws and reports failures as
// error codes.

// Text form, for text maps and HTTP headers alike.
opentracing::expected<void> injectSpanContext(const opentracing::TextMapWriter& writer, uint64_t traceId,
                                              uint64_t spanId, bool level, const StringMap& baggage);

// Binary form.
opentracing::expected<void> injectSpanContext(std::ostream& stream, uint64_t traceId, uint64_t spanId,
                                              bool level, const StringMap& baggage,
                                              const StringMap& extraFields);

// Key comparisons of the two text instantiations.
struct ExactKeyCompare {
  bool operator()(opentracing::string_view a, opentracing::string_view b) const noexcept { return a == b; }
};
// HTTP field names are ASCII tokens and compare ignoring ASCII case only.
// Folding inline rather than through std::tolower is several times cheaper
// and keeps a host's locale (one where 'I' lowers to a non-ASCII byte, or a
// non-ASCII byte to 'i') from changing which headers are ours. Inline: it
// runs several times per request header.
struct CaseInsensitiveKeyCompare {
  bool operator()(opentracing::string_view a, opentracing::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const unsigned char x = static_cast<unsigned char>(a.data()[i]);
      const unsigned char y = static_cast<unsigned char>(b.data()[i]);
      if (x == y) continue;
      // Bytes differing in bit 0x20 only are the same letter in two cases.
      const unsigned char lower = x | 0x20;
      if (lower != (y | 0x20) || lower < 'a' || lower > 'z') return false;
    }
    return true;
  }
};

// Reads the carrier through ForeachKey only. The outputs must be prepared by
// the caller (ids 0, level true, empty maps). headerKeys may be null (nothing
// is captured). True: a context was found; false: the carrier holds none.
// Instantiated for ExactKeyCompare and CaseInsensitiveKeyCompare.
template <class KeyCompare>
opentracing::expected<bool> extractSpanContextImpl(const opentracing::TextMapReader& reader, uint64_t& traceId,
                                                   uint64_t& spanId, bool& level, const HeaderKeySet* headerKeys,
                                                   StringMap& baggage, StringMap& extraFields,
                                                   StringMap& capturedHeaders, KeyCompare compare);

// Binary form. Key and value lengths above maxBinaryFieldLength are refused
// as span_context_corrupted_error.
constexpr uint32_t maxBinaryFieldLength = 1u << 20;
opentracing::expected<bool> extractSpanContext(std::istream& stream, uint64_t& traceId, uint64_t& spanId,
                                               bool& level, StringMap& baggage, StringMap& extraFields);

// Identifier parse: hexadecimal, up to 16 significant digits, blanks around
// allowed. EINVAL or EOVERFLOW (generic category) on failure.
opentracing::expected<uint64_t> parseHexId(opentracing::string_view text) noexcept;

}  // namespace vostrel
