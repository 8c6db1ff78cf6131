#pragma once

#include <event2/http.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "plugin/logger.h"
#include "plugin/tracer_options.h"
#include "reporting/agent_link.h"
#include "reporting/span_queue.h"
#include "reporting/spare_buffers.h"
#include "runtime/event_loop.h"
#include "runtime/http_client.h"
#include "runtime/sensor.h"

namespace vostrel {

// The batch visitor of a flush: copies the span pieces of both ranges, in
// order, to the end of body as one JSON array, each completed with a copy of
// tail, and gives every piece's buffer to spares for reuse (freeing those
// spares cannot keep, or all of them when spares is null). Each slot is left
// empty. Copying a few hundred bytes per span costs less than a chain per
// piece and per tail reference, and spares the host threads' allocator.
void appendBatch(ByteBuffer* begin1, ByteBuffer* end1, ByteBuffer* begin2, ByteBuffer* end2, const std::string& tail,
                 evbuffer* body, SpareBuffers* spares);

// Buffers finished spans from host threads and posts them to the agent in
// batches from the loop thread: every flush_interval, or early once the queue
// is nine tenths full, only while the agent link is ready and never with two
// posts in flight. A failed post loses its batch and resets the link.
//
// The early flush is checked on the sensor's tick, and also at once when a
// host thread's span brings the queue to the threshold (it wakes the loop)
// and when a post completes: at a high span rate the tick alone leaves the
// last tenth of the queue to absorb up to a whole tick of spans.
//
// Built on the thread that builds the sensor, before the loop runs; record()
// from any thread; everything else on the loop thread only. logger, options,
// base and agent are not owned and outlive the recorder. Destroy it only
// while the loop is not running, and before the link's HttpConnection: a post
// still in flight is then freed by libevent without its callbacks.
class RecorderImpl final : public Recorder {
 public:
  // Throws what the queue and the flush timer throw.
  RecorderImpl(Logger* logger, const TracerOptions* options, EventBase* base, AgentLink* agent);
  RecorderImpl(const RecorderImpl&) = delete;
  RecorderImpl& operator=(const RecorderImpl&) = delete;
  // Frees the queued spans without sending them.
  ~RecorderImpl() override;

  bool record(ByteBuffer& buffer) noexcept override;
  ByteBuffer spareBuffer() noexcept override { return spares_.take(); }

  // The flush timer's callback: posts everything queued as one batch.
  void onFlush() noexcept;
  // The sensor's tick: flushes at once (and restarts the flush timer) when
  // the queue holds at least earlyFlushThreshold() spans.
  void checkEarlyFlush() noexcept;
  // Callbacks of the traces request.
  void onFlushResponse(evhttp_request* request) noexcept;
  void onFlushError(evhttp_request_error kind) noexcept;

  int32_t queueSize() const noexcept { return queue_.size(); }
  // Nine tenths of this recorder's own max_buffered_spans, rounded down.
  int32_t earlyFlushThreshold() const noexcept { return earlyFlushThreshold_; }
  bool posting() const noexcept { return static_cast<bool>(activeRequest_); }

 private:
  // Loop thread: a host thread asked for an early-flush check.
  void onWakeup() noexcept;

  Logger* logger_;
  AgentLink* agentConnection_;
  SpanQueue queue_;
  SpareBuffers spares_;
  int32_t earlyFlushThreshold_;
  Timer flushTimer_;
  HttpRequest activeRequest_;
  int32_t lastRequestError_;
  // An eventfd that host threads write once the queue reaches the threshold;
  // -1 (and no event) when none could be made: the tick alone checks then.
  int wakeupFd_ = -1;
  event* wakeupEvent_ = nullptr;
  // Set by the host thread that wakes the loop; cleared by the flush that
  // takes the queue or by a check that finds it below the threshold: one
  // wakeup per batch, however long the agent waits.
  std::atomic<bool> wakeupPending_{false};
};

}  // namespace vostrel
