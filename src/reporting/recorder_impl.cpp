#include "reporting/recorder_impl.h"

#include <event2/buffer.h>
#include <event2/event.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace vostrel {

namespace {

// Each recorder computes its own threshold from its own cap: a sensor rebuilt
// with another max_buffered_spans must not inherit the first one's.
int32_t nineTenths(int32_t capacity) {
  return static_cast<int32_t>((static_cast<int64_t>(capacity) - 1) * 9 / 10);
}

std::string bodyText(evbuffer* body) {
  std::string text(evbuffer_get_length(body), '\0');
  if (!text.empty()) evbuffer_copyout(body, &text[0], text.size());
  return text;
}

}  // namespace

void appendBatch(ByteBuffer* begin1, ByteBuffer* end1, ByteBuffer* begin2, ByteBuffer* end2, const std::string& tail,
                 evbuffer* body, SpareBuffers* spares) {
  std::size_t remaining = 0;
  for (ByteBuffer* slot = begin1; slot != end1; ++slot) remaining += *slot ? 1 : 0;
  for (ByteBuffer* slot = begin2; slot != end2; ++slot) remaining += *slot ? 1 : 0;
  if (remaining == 0) return;

  // Every record but the last gets the tail without the "]" closing the batch.
  const std::size_t innerLength = tail.empty() ? 0 : tail.size() - 1;
  bool first = true;
  auto appendSpan = [&](ByteBuffer& slot) {
    if (!slot) return;
    ByteBuffer span(std::move(slot));
    if (first) {
      // The piece's leading comma becomes the array's opening bracket.
      span.drain(1);
      if (evbuffer_add(body, "[", 1) != 0) throw std::bad_alloc();
      first = false;
    }
    // One append per span keeps a piece in one chain; pullup is then free.
    const std::size_t length = span.size();
    const char* bytes = reinterpret_cast<const char*>(evbuffer_pullup(span.get(), -1));
    if (length != 0 && bytes == nullptr) throw std::bad_alloc();
    --remaining;
    if (evbuffer_add(body, bytes, length) != 0 ||
        evbuffer_add(body, tail.data(), remaining == 0 ? tail.size() : innerLength) != 0) {
      throw std::bad_alloc();
    }
    if (spares != nullptr) spares->give(span);
  };
  for (ByteBuffer* slot = begin1; slot != end1; ++slot) appendSpan(*slot);
  for (ByteBuffer* slot = begin2; slot != end2; ++slot) appendSpan(*slot);
}

namespace {

// Enough to take back a full queue at the default cap without holding on to
// an unbounded amount of memory at a large one.
constexpr int32_t maxSpareBuffers = 4096;

}  // namespace

RecorderImpl::RecorderImpl(Logger* logger, const TracerOptions* options, EventBase* base, AgentLink* agent)
    : logger_(logger),
      agentConnection_(agent),
      queue_(options->max_buffered_spans),
      spares_(static_cast<std::size_t>(std::min(queue_.capacity(), maxSpareBuffers))),
      earlyFlushThreshold_(nineTenths(queue_.capacity())),
      flushTimer_(*base, options->flush_interval, memberCallback<&RecorderImpl::onFlush>, this),
      lastRequestError_(-1) {
  wakeupFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeupFd_ >= 0) {
    wakeupEvent_ = event_new(base->get(), wakeupFd_, EV_READ | EV_PERSIST, eventCallback<&RecorderImpl::onWakeup>, this);
    if (wakeupEvent_ == nullptr || event_add(wakeupEvent_, nullptr) != 0) {
      if (wakeupEvent_ != nullptr) event_free(wakeupEvent_);
      wakeupEvent_ = nullptr;
      close(wakeupFd_);
      wakeupFd_ = -1;
    }
  }
  if (wakeupFd_ < 0) logger_->log(LogLevel::warn, "early flush checked on the tick only: no wakeup event");
}

RecorderImpl::~RecorderImpl() {
  if (wakeupEvent_ != nullptr) event_free(wakeupEvent_);
  if (wakeupFd_ >= 0) close(wakeupFd_);
}

bool RecorderImpl::record(ByteBuffer& buffer) noexcept {
  if (queue_.push(buffer)) {
    if (wakeupFd_ >= 0 && queue_.size() >= earlyFlushThreshold_ && !wakeupPending_.load(std::memory_order_relaxed) &&
        !wakeupPending_.exchange(true)) {
      const uint64_t one = 1;
      // Nothing to do when it fails: the tick checks as well.
      (void)!write(wakeupFd_, &one, sizeof one);
    }
    return true;
  }
  if (logger_->debugEnabled()) {
    try {
      logger_->log(LogLevel::debug, "Dropping message ", buffer.toString());
    } catch (const std::exception&) {
    }
  }
  // While the queue is full the next span can reuse this one's buffer.
  spares_.give(buffer);
  return false;
}

void RecorderImpl::onFlush() noexcept {
  try {
    const bool ready = agentConnection_->ready();
    if (logger_->debugEnabled()) {
      logger_->log(LogLevel::debug, "Flushing recorder: agent_connected=", ready ? 1 : 0,
                   "; num_spans_in_buffer=", queue_.size(), "; is_active_request_null=", activeRequest_ ? 0 : 1);
    }
    if (!ready || queue_.size() == 0 || activeRequest_) return;

    activeRequest_ = HttpRequest(memberCallback<&RecorderImpl::onFlushResponse>,
                                 memberCallback<&RecorderImpl::onFlushError>, this);
    evbuffer* body = activeRequest_.body();
    queue_.consumeAll([&](ByteBuffer* begin1, ByteBuffer* end1, ByteBuffer* begin2, ByteBuffer* end2) {
      appendBatch(begin1, end1, begin2, end2, agentConnection_->spanTail(), body, &spares_);
    });
    wakeupPending_.store(false);
    activeRequest_.addHeader("Content-Type", "application/json");
    const std::string& path = agentConnection_->tracesPath();
    if (logger_->debugEnabled()) logger_->log(LogLevel::debug, "sending spans to ", path, ": ", bodyText(body));
    activeRequest_.send(agentConnection_->httpConnection(), EVHTTP_REQ_POST, path.c_str());
  } catch (const std::exception& e) {
    // An unsent request left here would block every later flush.
    activeRequest_.reset();
    logger_->log(LogLevel::error, "onFlush failed: ", e.what());
  }
}

void RecorderImpl::onFlushError(evhttp_request_error kind) noexcept { lastRequestError_ = kind; }

void RecorderImpl::onFlushResponse(evhttp_request* request) noexcept {
  const int error = errno;
  try {
    if (requestFailed(request)) {
      logger_->log(LogLevel::error, "failed to post spans to agent: ",
                   request != nullptr ? std::strerror(error) : requestErrorName(lastRequestError_));
      agentConnection_->reset();
    } else {
      const int status = evhttp_request_get_response_code(request);
      if (status < 200 || status > 299) {
        const char* reason = evhttp_request_get_response_code_line(request);
        logger_->log(LogLevel::error, "trace request failed with ", status, ": ", reason == nullptr ? "" : reason);
        agentConnection_->reset();
      }
    }
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "onFlushResponse failed: ", e.what());
  }
  // libevent frees the request once this callback returns.
  activeRequest_ = HttpRequest();
  // Spans that came during the post may fill the queue before the next tick.
  checkEarlyFlush();
}

void RecorderImpl::onWakeup() noexcept {
  uint64_t count = 0;
  (void)!read(wakeupFd_, &count, sizeof count);
  checkEarlyFlush();
}

void RecorderImpl::checkEarlyFlush() noexcept {
  const int32_t size = queue_.size();
  if (size < earlyFlushThreshold_) {
    // The next span that reaches the threshold wakes the loop again.
    if (wakeupPending_.load(std::memory_order_relaxed)) wakeupPending_.store(false);
    return;
  }
  if (activeRequest_ || !agentConnection_->ready()) return;
  if (logger_->debugEnabled()) {
    logger_->log(LogLevel::debug, "Flushing spans early: ", size, " exceeds early flush threshold of ",
                 earlyFlushThreshold_);
  }
  try {
    flushTimer_.reset();
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "checkEarlyFlush failed: ", e.what());
  }
  onFlush();
}

}  // namespace vostrel
