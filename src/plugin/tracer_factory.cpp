#include "plugin/tracer_factory.h"

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "agent/json_reader.h"

namespace vostrel {

namespace {

// Filling the host's string must not throw past the noexcept boundary; when
// even that runs out of memory the old message stays.
void setMessage(std::string& error_message, const char* text) noexcept {
  try {
    error_message = text;
  } catch (...) {
  }
}

}  // namespace

opentracing::expected<std::shared_ptr<opentracing::Tracer>> TracerFactory::MakeTracer(
    const char* configuration, std::string& error_message) const noexcept {
  try {
    TracerOptions options = parseConfiguration(configuration);
    return createTracer(std::move(options));
  } catch (const ParseError& e) {
    setMessage(error_message, e.what());
    return opentracing::make_unexpected(opentracing::configuration_parse_error);
  } catch (const std::bad_alloc&) {
    return opentracing::make_unexpected(std::error_code(ENOMEM, std::generic_category()));
  } catch (const std::exception& e) {
    setMessage(error_message, e.what());
    return opentracing::make_unexpected(std::error_code(EIO, std::generic_category()));
  } catch (...) {
    return opentracing::make_unexpected(std::error_code(EIO, std::generic_category()));
  }
}

}  // namespace vostrel
