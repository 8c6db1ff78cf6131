#pragma once

#include <opentracing/tracer_factory.h>

#include <memory>
#include <string>

#include "plugin/tracer_options.h"

namespace vostrel {

// What the entry point hands to the host, which owns it. No state: any number
// of host threads may call MakeTracer at once.
class TracerFactory final : public opentracing::TracerFactory {
 public:
  // Reads the configuration and builds a tracer on the process's sensor.
  // A bad configuration gives code 1 of the tracer-factory category with the
  // reader's message; memory exhaustion ENOMEM; any other failure EIO with
  // its text in error_message.
  opentracing::expected<std::shared_ptr<opentracing::Tracer>> MakeTracer(
      const char* configuration, std::string& error_message) const noexcept override;
};

// Applies the environment to the options, creates the tracer's logger and
// obtains the sensor. Throws on failure.
std::shared_ptr<opentracing::Tracer> createTracer(TracerOptions options);

}  // namespace vostrel
