#pragma once

namespace vostrel {

// Version of this library, printed in the load banner.
constexpr const char* sensorVersion = "1.1.1";
// Version that the NGINX host module must report through ngx_get_vostrel_version.
constexpr int expectedHostModuleVersion = 1001000;

// The function behind OpenTracingMakeTracerFactory. Returns 0 and stores a new
// TracerFactory in *tracer_factory (the caller owns it); returns 3 in the
// dynamic-load category for another OpenTracing binary interface, 12 (ENOMEM)
// when memory runs out. Ends the process for null arguments and for an NGINX
// host without the matching module version. Keeps no state; any thread.
int makeTracerFactory(const char* opentracing_version, const char* opentracing_abi_version,
                      const void** error_category, void* error_message,
                      void** tracer_factory) noexcept;

}  // namespace vostrel
