#include <stdexcept>

#include "plugin/tracer_factory.h"

namespace vostrel {

std::shared_ptr<opentracing::Tracer> createTracer(TracerOptions) {
  throw std::runtime_error("tracing is not available in this build yet");
}

}  // namespace vostrel
