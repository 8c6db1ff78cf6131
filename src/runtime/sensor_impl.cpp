#include "runtime/sensor_impl.h"

#include <pthread.h>
#include <unistd.h>

#include <exception>
#include <mutex>
#include <new>
#include <vector>

namespace vostrel {

SensorImpl::SensorImpl(std::shared_ptr<Logger> logger, TracerOptions options, std::string routePath)
    : logger_(std::move(logger)), options_(std::move(options)), ownerPid_(getpid()) {
  // Members are built before the thread starts, so no two threads ever use
  // the event base at once.
  eventBase_ = std::make_unique<EventBase>();
  agentConnection_ = std::make_unique<AgentConnection>(logger_.get(), eventBase_.get(), &options_,
                                                       std::move(routePath));
  recorder_ = std::make_unique<RecorderImpl>(logger_.get(), &options_, eventBase_.get(), agentConnection_.get());
  tickTimer_ = std::make_unique<Timer>(*eventBase_, tickPeriod, &SensorImpl::onTick, this);
  stopping_.store(false);
  thread_ = std::thread(&SensorImpl::run, this);
}

namespace {

// What forked children abandoned: never freed and never touched again, but
// kept reachable so that leak checkers do not report it.
struct Abandoned {
  std::unique_ptr<std::thread> thread;
  std::unique_ptr<Timer> tickTimer;
  std::unique_ptr<RecorderImpl> recorder;
  std::unique_ptr<AgentConnection> agentConnection;
  std::unique_ptr<EventBase> eventBase;
};

std::vector<Abandoned*>& abandonedInForkedChildren() {
  static auto* list = new std::vector<Abandoned*>;
  return *list;
}

}  // namespace

SensorImpl::~SensorImpl() {
  if (getpid() != ownerPid_) {
    // Inherited through fork: the loop thread does not exist here, its
    // handle may name a thread of this process by now, and the libevent
    // objects share descriptors (the epoll set above all) with the parent.
    // Touching any of them would harm the parent or this process.
    try {
      abandonedInForkedChildren().push_back(new Abandoned{std::make_unique<std::thread>(std::move(thread_)),
                                                          std::move(tickTimer_), std::move(recorder_),
                                                          std::move(agentConnection_), std::move(eventBase_)});
    } catch (...) {
      // Out of memory: leak them unreachable rather than free them.
      (void)new (std::nothrow) std::thread(std::move(thread_));
      (void)tickTimer_.release();
      (void)recorder_.release();
      (void)agentConnection_.release();
      (void)eventBase_.release();
    }
    return;
  }
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
  tickTimer_.reset();
  recorder_.reset();
  agentConnection_.reset();
  eventBase_.reset();
}

std::shared_ptr<const HeaderKeySet> SensorImpl::headerKeySet() const noexcept {
  return agentConnection_->headerKeySet();
}

std::shared_ptr<const SecretFilter> SensorImpl::secretFilter() const noexcept {
  return agentConnection_->secretFilter();
}

Borrowed<HeaderKeySet> SensorImpl::borrowHeaderKeySet() const noexcept {
  return agentConnection_->borrowHeaderKeySet();
}

Borrowed<SecretFilter> SensorImpl::borrowSecretFilter() const noexcept {
  return agentConnection_->borrowSecretFilter();
}

void SensorImpl::run() noexcept {
  try {
    eventBase_->dispatch();
  } catch (const std::exception& e) {
    logger_->log(LogLevel::error, "fatal error, stopping sensor: ", e.what());
  }
}

void SensorImpl::onTick(void* self) noexcept {
  auto* sensor = static_cast<SensorImpl*>(self);
  sensor->recorder_->checkEarlyFlush();
  if (!sensor->stopping_.load()) return;
  try {
    sensor->eventBase_->loopBreak();
  } catch (const std::exception& e) {
    sensor->logger_->log(LogLevel::error, "failed to shut down sensor: ", e.what());
    std::terminate();
  }
}

namespace {

// Never destroyed: a tracer made or released during static destruction still
// finds them.
std::mutex& sensorMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::weak_ptr<SensorImpl>& sensorInstance() {
  static auto* instance = new std::weak_ptr<SensorImpl>;
  return *instance;
}

// A fork while another thread builds a sensor must not leave the child with
// the mutex locked forever.
void holdSensorMutexAcrossFork() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork([] { sensorMutex().lock(); }, [] { sensorMutex().unlock(); },
                   [] { sensorMutex().unlock(); });
  });
}

}  // namespace

std::shared_ptr<SensorImpl> getOrCreateSensor(std::shared_ptr<Logger> logger, TracerOptions options) {
  holdSensorMutexAcrossFork();
  std::lock_guard<std::mutex> lock(sensorMutex());
  std::shared_ptr<SensorImpl> sensor = sensorInstance().lock();
  // A sensor inherited through fork has no thread in this process.
  if (sensor && sensor->ownerPid() == getpid()) return sensor;
  // Its own count block, so the weak reference keeps no sensor memory alive.
  sensor.reset(new SensorImpl(std::move(logger), std::move(options)));
  sensorInstance() = sensor;
  return sensor;
}

}  // namespace vostrel
