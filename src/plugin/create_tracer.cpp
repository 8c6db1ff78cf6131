#include "plugin/tracer_factory.h"
#include "plugin/tracer_impl.h"
#include "plugin/tracer_options.h"
#include "runtime/sensor_impl.h"

namespace vostrel {

std::shared_ptr<opentracing::Tracer> createTracer(TracerOptions options) {
  auto logger = std::make_shared<Logger>();
  applyEnvironment(options, *logger);
  std::shared_ptr<Sensor> sensor = getOrCreateSensor(logger, std::move(options));
  return std::make_shared<TracerImpl>(std::move(logger), std::move(sensor));
}

}  // namespace vostrel
