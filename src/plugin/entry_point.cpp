#include "plugin/entry_point.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "plugin/tracer_factory.h"
#include "vostrel_sensor.h"

extern "C" char* __progname;

namespace vostrel {

namespace {

void fail(const char* message) noexcept {
  std::fwrite(message, 1, std::strlen(message), stderr);
  std::terminate();
}

// Only an NGINX host is checked: its module must match this library's
// layout, any other host just uses the OpenTracing interfaces.
void checkHostModule() noexcept {
  const char* program = __progname;
  if (program == nullptr || std::strncmp(program, "nginx", 5) != 0) return;
  void* symbol = dlsym(RTLD_DEFAULT, "ngx_get_vostrel_version");
  if (symbol == nullptr) {
    fail("To avoid segfaults and incompatibilities, the Vostrel variant of the "
         "ngx_http_opentracing_module is required in the same version as libvostrel_sensor.\n");
  }
  const int version = reinterpret_cast<int (*)()>(symbol)();
  if (version != expectedHostModuleVersion) {
    std::fprintf(stderr,
                 "Version of ngx_http_opentracing_module does not match libvostrel_sensor: "
                 "%u instead of %u. Please keep them in sync.\n",
                 static_cast<unsigned>(version), static_cast<unsigned>(expectedHostModuleVersion));
    std::terminate();
  }
}

}  // namespace

int makeTracerFactory(const char* opentracing_version, const char* opentracing_abi_version,
                      const void** error_category, void* error_message,
                      void** tracer_factory) noexcept {
  try {
    if (opentracing_version == nullptr || opentracing_abi_version == nullptr ||
        error_category == nullptr || error_message == nullptr || tracer_factory == nullptr) {
      fail("`opentracing_version`, `opentracing_abi_version`, `error_message`, "
           "`error_category`, and `tracer_factory` must be non-null.\n");
    }
    if (std::strcmp(opentracing_abi_version, OPENTRACING_ABI_VERSION) != 0) {
      *error_category = static_cast<const void*>(&opentracing::dynamic_load_error_category());
      auto& message = *static_cast<std::string*>(error_message);
      message = "incompatible OpenTracing ABI versions; expected " OPENTRACING_ABI_VERSION
                " but got ";
      message.append(opentracing_abi_version);
      return opentracing::incompatible_library_versions_error.value();
    }
    checkHostModule();
    std::fprintf(stderr, "Vostrel C++ Sensor v%s has been loaded.\n", sensorVersion);
    opentracing::TracerFactory* factory = new TracerFactory();
    *tracer_factory = static_cast<void*>(factory);
    return 0;
  } catch (const std::bad_alloc&) {
    *error_category = static_cast<const void*>(&std::generic_category());
    return ENOMEM;
  }
}

}  // namespace vostrel

// The export map keeps this the library's only dynamic symbol.
OPENTRACING_DECLARE_IMPL_FACTORY(vostrel::makeTracerFactory)
