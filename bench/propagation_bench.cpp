// Cost of carrying a context through request headers, per request.
#include <benchmark/benchmark.h>
#include <opentracing/propagation.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/secret_filter.h"
#include "bench_support.h"
#include "tracing/header_key_set.h"
#include "tracing/propagation.h"

namespace vostrel {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

class DiscardingWriter : public opentracing::HTTPHeadersWriter {
 public:
  opentracing::expected<void> Set(opentracing::string_view key, opentracing::string_view value) const override {
    benchmark::DoNotOptimize(key.data());
    benchmark::DoNotOptimize(value.data());
    return {};
  }
};

void BM_InjectHeaders(benchmark::State& state) {
  const DiscardingWriter writer;
  StringMap baggage;
  for (int i = 0; i < state.range(0); ++i) baggage.emplace("key" + std::to_string(i), "value");
  for (auto _ : state) benchmark::DoNotOptimize(injectSpanContext(writer, 0x1234, 0x5678, true, baggage));
}
BENCHMARK(BM_InjectHeaders)->Arg(0)->Arg(4);

void BM_ExtractHeaders(benchmark::State& state) {
  bench::Headers reader;
  for (const auto& [key, value] : Headers{{"Host", "example.com"},
                                          {"User-Agent", "curl/8.0"},
                                          {"Accept", "*/*"},
                                          {"X-VOSTREL-T", "0000000000001234"},
                                          {"X-VOSTREL-S", "0000000000005678"},
                                          {"X-VOSTREL-L", "1"}}) {
    reader.Set(key, value);
  }
  const HeaderKeySet keys({"X-Forwarded-For", "X-Request-Id"});
  for (auto _ : state) {
    uint64_t traceId = 0, spanId = 0;
    bool level = true;
    StringMap baggage, extra, captured;
    benchmark::DoNotOptimize(extractSpanContextImpl<CaseInsensitiveKeyCompare>(
        reader, traceId, spanId, level, &keys, baggage, extra, captured, CaseInsensitiveKeyCompare{}));
  }
}
BENCHMARK(BM_ExtractHeaders);

void BM_RedactUrl(benchmark::State& state) {
  const SecretFilter filter("contains-ignore-case", {"key", "pass", "secret"});
  const std::string url = "/api/v1/items?user=bob&password=x&page=2&apiKey=1#top";
  for (auto _ : state) benchmark::DoNotOptimize(redactQueryString(filter, url.data(), url.size()));
}
BENCHMARK(BM_RedactUrl);

}  // namespace
}  // namespace vostrel

BENCHMARK_MAIN();
