#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plugin/logger.h"
#include "plugin/tracer_impl.h"
#include "runtime/sensor.h"

namespace vostrel::test {

// Keeps every span piece it takes, as text. Any thread.
class RecordingRecorder final : public Recorder {
 public:
  bool record(ByteBuffer& buffer) noexcept override;

  // When set, every record is refused, as by a full queue.
  void refuseRecords(bool refuse) noexcept { refuse_.store(refuse); }
  // The next spareBuffer() hands out spare, as the loop thread gives back
  // the buffer of a span it has sent.
  void offerSpare(ByteBuffer spare) noexcept;
  ByteBuffer spareBuffer() noexcept override;
  std::vector<std::string> records() const;
  std::size_t count() const;
  // Polls until at least n records were taken or the timeout passed.
  bool waitForCount(std::size_t n, std::chrono::milliseconds timeout) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> records_;  // guarded by mutex_
  ByteBuffer spare_{nullptr};         // guarded by mutex_
  std::atomic<bool> refuse_{false};
};

// A sensor for tests: a recording recorder and settable agent settings,
// read and replaced with atomic shared-pointer operations like the real
// sensor's. Starts with no header set and the default secret filter
// ("contains-ignore-case" with "key", "pass", "secret").
class RecordingSensor final : public Sensor {
 public:
  RecordingSensor();

  Recorder& recorder() noexcept override { return recorder_; }
  std::shared_ptr<const HeaderKeySet> headerKeySet() const noexcept override;
  std::shared_ptr<const SecretFilter> secretFilter() const noexcept override;

  void setHeaderKeySet(std::shared_ptr<const HeaderKeySet> headerKeys) noexcept;
  void setSecretFilter(std::shared_ptr<const SecretFilter> filter) noexcept;

  RecordingRecorder& recording() noexcept { return recorder_; }
  std::vector<std::string> records() const { return recorder_.records(); }
  void refuseRecords(bool refuse) noexcept { recorder_.refuseRecords(refuse); }

 private:
  RecordingRecorder recorder_;
  std::shared_ptr<const HeaderKeySet> headerKeys_;  // atomic access only
  std::shared_ptr<const SecretFilter> filter_;      // atomic access only
};

// The per-process trailer as the agent connection builds it.
std::string spanTail(long pid, const std::string& agentUuid, const std::string& service = "");

// Span pieces framed into one batch as the recorder frames them: the first
// leading comma becomes "[", each record gets spanTail, all but the last
// without its final "]". Empty for no pieces.
std::string frameBatch(const std::vector<std::string>& pieces, const std::string& spanTail);

// A logger whose lines are kept (at every level) instead of written.
class LogCapture {
 public:
  LogCapture();
  std::shared_ptr<Logger> logger() const { return logger_; }
  // "Warn: <message>" and so on, one entry per line.
  std::vector<std::string> lines() const;

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<Lines> lines_;
  std::shared_ptr<Logger> logger_;
};

// A tracer on a recording sensor, logging into a capture.
struct TracerHarness {
  TracerHarness();
  LogCapture log;
  std::shared_ptr<RecordingSensor> sensor;
  std::shared_ptr<TracerImpl> tracer;

  // The recorded pieces framed as one batch (trailer of pid 4711, agent
  // "uuid", no service) and parsed; member order is kept.
  nlohmann::ordered_json batch() const;
};

}  // namespace vostrel::test
