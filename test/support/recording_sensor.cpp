#include "support/recording_sensor.h"

#include <thread>

#include "agent/secret_filter.h"
#include "tracing/header_key_set.h"

namespace vostrel::test {

bool RecordingRecorder::record(ByteBuffer& buffer) noexcept {
  if (refuse_.load()) return false;
  try {
    std::string text = buffer.toString();
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(text));
  } catch (...) {
    return false;
  }
  buffer.reset();
  return true;
}

void RecordingRecorder::offerSpare(ByteBuffer spare) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  spare_ = std::move(spare);
}

ByteBuffer RecordingRecorder::spareBuffer() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(spare_);
}

std::vector<std::string> RecordingRecorder::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::size_t RecordingRecorder::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

bool RecordingRecorder::waitForCount(std::size_t n, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (count() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void RecordingRecorder::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

RecordingSensor::RecordingSensor()
    : filter_(std::make_shared<SecretFilter>("contains-ignore-case",
                                             std::vector<std::string>{"key", "pass", "secret"})) {}

std::shared_ptr<const HeaderKeySet> RecordingSensor::headerKeySet() const noexcept {
  return std::atomic_load(&headerKeys_);
}

std::shared_ptr<const SecretFilter> RecordingSensor::secretFilter() const noexcept {
  return std::atomic_load(&filter_);
}

void RecordingSensor::setHeaderKeySet(std::shared_ptr<const HeaderKeySet> headerKeys) noexcept {
  std::atomic_store(&headerKeys_, std::move(headerKeys));
}

void RecordingSensor::setSecretFilter(std::shared_ptr<const SecretFilter> filter) noexcept {
  std::atomic_store(&filter_, std::move(filter));
}

std::string spanTail(long pid, const std::string& agentUuid, const std::string& service) {
  std::string tail;
  if (!service.empty()) tail += ",\"service\":\"" + service + "\"";
  tail += "},\"n\":\"sdk\",\"f\":{\"e\":" + std::to_string(pid) + ",\"h\":\"" + agentUuid + "\"}}]";
  return tail;
}

std::string frameBatch(const std::vector<std::string>& pieces, const std::string& spanTail) {
  std::string batch;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i == 0) {
      batch += "[";
      batch.append(pieces[i], 1, std::string::npos);
    } else {
      batch += pieces[i];
    }
    batch.append(spanTail, 0, i + 1 == pieces.size() ? spanTail.size() : spanTail.size() - 1);
  }
  return batch;
}

LogCapture::LogCapture() : lines_(std::make_shared<Lines>()), logger_(std::make_shared<Logger>()) {
  logger_->setThreshold(LogLevel::debug);
  logger_->setSink([lines = lines_](LogLevel level, int, opentracing::string_view message) {
    static const char* const words[] = {"", "Debug: ", "Info: ", "Warn: ", "Error: ", "", ""};
    const auto index = static_cast<std::size_t>(level);
    std::string line = index < 7 ? words[index] : "";
    line.append(message.data(), message.size());
    std::lock_guard<std::mutex> lock(lines->mutex);
    lines->lines.push_back(std::move(line));
  });
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  return lines_->lines;
}

TracerHarness::TracerHarness()
    : sensor(std::make_shared<RecordingSensor>()), tracer(std::make_shared<TracerImpl>(log.logger(), sensor)) {}

nlohmann::ordered_json TracerHarness::batch() const {
  const auto pieces = sensor->records();
  if (pieces.empty()) return nlohmann::ordered_json::array();
  return nlohmann::ordered_json::parse(frameBatch(pieces, spanTail(4711, "uuid")));
}

}  // namespace vostrel::test
