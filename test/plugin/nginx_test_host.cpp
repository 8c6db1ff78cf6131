// A minimal plug-in host for the entry point tests. Built twice: as
// nginx-test-host, which exports ngx_get_vostrel_version returning
// $VOSTREL_TEST_HOST_VERSION (default 1001000), and as nginx-bare-host without
// it. The program name (argv[0]) decides whether the library sees an NGINX.
//
// Usage: <host> <plugin.so> load <count>   load through OpenTracing's loader
//        <host> <plugin.so> abi <version>  call the factory symbol directly
//        <host> <plugin.so> null <index>   ... with argument <index> null
// Outcomes go to standard output, one line each.

#include <dlfcn.h>
#include <opentracing/dynamic_load.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#ifndef VOSTREL_HOST_WITHOUT_VERSION
extern "C" __attribute__((visibility("default"))) int ngx_get_vostrel_version() {
  const char* version = std::getenv("VOSTREL_TEST_HOST_VERSION");
  return version != nullptr ? static_cast<int>(std::strtol(version, nullptr, 10)) : 1001000;
}
#endif

namespace {

int loadThroughOpenTracing(const char* plugin, int count) {
  for (int i = 0; i < count; ++i) {
    std::string message;
    auto handle = opentracing::DynamicallyLoadTracingLibrary(plugin, message);
    if (!handle) {
      std::printf("load failed: %s %d %s\n", handle.error().category().name(),
                  handle.error().value(), message.c_str());
      return 1;
    }
    auto tracer = handle->tracer_factory().MakeTracer("{}", message);
    std::printf("factory; MakeTracer: %s %d %s\n",
                tracer ? "tracer" : tracer.error().category().name(),
                tracer ? 0 : tracer.error().value(), message.c_str());
  }
  return 0;
}

int callDirectly(const char* plugin, const char* abi, int nullIndex) {
  void* library = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::printf("dlopen failed: %s\n", dlerror());
    return 1;
  }
  auto* make = *static_cast<OpenTracingMakeTracerFactoryType**>(
      dlsym(library, "OpenTracingMakeTracerFactory"));
  const void* category = nullptr;
  std::string message = "left over";
  void* factory = nullptr;
  const char* version = OPENTRACING_VERSION;
  const void** categoryOut = &category;
  void* messageOut = &message;
  void** factoryOut = &factory;
  switch (nullIndex) {
    case 0: version = nullptr; break;
    case 1: abi = nullptr; break;
    case 2: categoryOut = nullptr; break;
    case 3: messageOut = nullptr; break;
    case 4: factoryOut = nullptr; break;
  }
  const int code = make(version, abi, categoryOut, messageOut, factoryOut);
  const char* categoryName =
      category != nullptr ? static_cast<const std::error_category*>(category)->name() : "none";
  std::printf("%d %s %s %s\n", code, categoryName, factory != nullptr ? "factory" : "nothing",
              message.c_str());
  delete static_cast<opentracing::TracerFactory*>(factory);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[2];
  if (mode == "load") return loadThroughOpenTracing(argv[1], std::atoi(argv[3]));
  if (mode == "abi") return callDirectly(argv[1], argv[3], -1);
  if (mode == "null") return callDirectly(argv[1], OPENTRACING_ABI_VERSION, std::atoi(argv[3]));
  return 2;
}
