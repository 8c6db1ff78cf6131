#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <thread>

#include "agent/agent_connection.h"
#include "plugin/logger.h"
#include "plugin/tracer_options.h"
#include "reporting/recorder_impl.h"
#include "runtime/event_loop.h"
#include "runtime/sensor.h"

namespace vostrel {

// The per-process engine behind every tracer: the event loop and its thread,
// the agent connection and the recorder. Built and destroyed on host threads;
// everything else runs on its own loop thread.
class SensorImpl final : public Sensor {
 public:
  // Builds every libevent object, then starts the loop thread. Throws the
  // runtime errors of the event loop ("event_base_new failed", ...).
  SensorImpl(std::shared_ptr<Logger> logger, TracerOptions options,
             std::string routePath = "/proc/net/route");
  // Stops the loop at the next tick and joins the thread; nothing is flushed.
  // In a forked child (whose copy has no loop thread) it only abandons the
  // members, leaving every libevent object and the thread handle untouched.
  ~SensorImpl() override;

  Recorder& recorder() noexcept override { return *recorder_; }
  std::shared_ptr<const HeaderKeySet> headerKeySet() const noexcept override;
  std::shared_ptr<const SecretFilter> secretFilter() const noexcept override;
  Borrowed<HeaderKeySet> borrowHeaderKeySet() const noexcept override;
  Borrowed<SecretFilter> borrowSecretFilter() const noexcept override;

  const TracerOptions& options() const noexcept { return options_; }
  // The process that built this sensor; a forked child never uses a parent's.
  pid_t ownerPid() const noexcept { return ownerPid_; }

  static constexpr uint64_t tickPeriod = 5000;

 private:
  void run() noexcept;
  static void onTick(void* self) noexcept;

  std::shared_ptr<Logger> logger_;
  TracerOptions options_;
  pid_t ownerPid_;
  // Held by pointer so that a forked child can abandon them: freeing them
  // there would remove the parent's registrations from the shared epoll set.
  std::unique_ptr<EventBase> eventBase_;
  std::unique_ptr<AgentConnection> agentConnection_;
  std::unique_ptr<RecorderImpl> recorder_;
  std::unique_ptr<Timer> tickTimer_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The live sensor of this process, or a new one built from logger and
// options (which are ignored when a sensor lives). A sensor inherited through
// fork is never handed out: the child gets one of its own. Any host thread;
// serialised by a process-wide mutex. Throws what building a sensor throws.
std::shared_ptr<SensorImpl> getOrCreateSensor(std::shared_ptr<Logger> logger, TracerOptions options);

}  // namespace vostrel
