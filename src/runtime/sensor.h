#pragma once

#include <memory>

#include "reporting/byte_buffer.h"
#include "runtime/shared_snapshot.h"

namespace vostrel {

class HeaderKeySet;
class SecretFilter;

// Takes finished spans from host threads. Any thread; never blocks, takes no
// lock (it runs under the finishing span's lock).
class Recorder {
 public:
  virtual ~Recorder() = default;
  // Moves the serialized span piece out of buffer and returns true when it is
  // queued; returns false when it is refused, and then either leaves buffer
  // as it is or keeps it for reuse (spareBuffer).
  virtual bool record(ByteBuffer& buffer) noexcept = 0;
  // A buffer of an earlier span to serialize the next one into (its old
  // bytes still in it), or an empty handle when there is none to reuse.
  virtual ByteBuffer spareBuffer() noexcept { return ByteBuffer(nullptr); }
};

// The process's sensor as host-thread code sees it. Any thread.
class Sensor {
 public:
  virtual ~Sensor() = default;
  // Valid as long as the sensor lives.
  virtual Recorder& recorder() noexcept = 0;
  // Atomic snapshot; null until the first successful announce.
  virtual std::shared_ptr<const HeaderKeySet> headerKeySet() const noexcept = 0;
  // Atomic snapshot; the default filter until an announce brings one.
  virtual std::shared_ptr<const SecretFilter> secretFilter() const noexcept = 0;
  // The same two snapshots for the request path, for use on the calling
  // thread while the handle lives; a sensor may serve them without touching
  // shared reference counts (see SharedSnapshot).
  virtual Borrowed<HeaderKeySet> borrowHeaderKeySet() const noexcept { return Borrowed<HeaderKeySet>(headerKeySet()); }
  virtual Borrowed<SecretFilter> borrowSecretFilter() const noexcept { return Borrowed<SecretFilter>(secretFilter()); }
};

}  // namespace vostrel
