#pragma once

#include <opentracing/string_view.h>
#include <opentracing/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "reporting/byte_buffer.h"

namespace vostrel {

// The JSON writer appends fragments in order to an output: a ByteBuffer, or a
// std::string used as scratch. The output is pure ASCII: every byte outside
// 0x20..0x7E is escaped on its own.
//
// Each function throws what the output's append throws (std::bad_alloc);
// appendJsonValue throws opentracing's bad-variant-access for an invalid value.

inline void appendRaw(ByteBuffer& out, const char* data, std::size_t length) { out.append(data, length); }
inline void appendRaw(std::string& out, const char* data, std::size_t length) { out.append(data, length); }
template <class Out>
void appendRaw(Out& out, opentracing::string_view text) {
  appendRaw(out, text.data(), text.size());
}

// True when appendEscaped would write text as it is: no byte needs an escape.
bool isPlainJsonText(const char* text, std::size_t length) noexcept;

template <class Out>
void appendEscaped(Out& out, const char* text, std::size_t length);
template <class Out>
void appendJsonString(Out& out, const char* text, std::size_t length);
template <class Out>
void appendJsonString(Out& out, opentracing::string_view text) {
  appendJsonString(out, text.data(), text.size());
}
// Signed decimal (formatDecimal).
template <class Out>
void appendDecimal(Out& out, int64_t value);
template <class Out>
void appendUnsigned(Out& out, uint64_t value);
template <class Out>
void appendJsonValue(Out& out, const opentracing::Value& value);

}  // namespace vostrel
