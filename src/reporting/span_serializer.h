#pragma once

#include <opentracing/span.h>

#include "reporting/byte_buffer.h"
#include "tracing/span.h"

namespace vostrel {

// Writes the first piece of a finished span's JSON record into a new
// buffer: ",{" and the members up to the closed "sdk" object, stopping inside
// the open "data" object. The per-process trailer that closes the record comes from the agent
// connection. The "http.url" tag is redacted by the sensor's current secret
// filter. Log records of one millisecond are merged into one member (the
// first value of a key wins), so member names never repeat. Called on the
// finishing host thread under the span's lock; reads the span without
// locking it. Throws what the buffer and the value writer throw.
ByteBuffer serializeSpan(const Span& span, const opentracing::FinishSpanOptions& options);

}  // namespace vostrel
