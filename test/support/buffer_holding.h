#pragma once

#include <string>

#include "reporting/byte_buffer.h"

namespace vostrel::test {

// A new buffer that holds text.
inline ByteBuffer bufferHolding(const std::string& text) {
  ByteBuffer buffer;
  buffer.append(text);
  return buffer;
}

}  // namespace vostrel::test
