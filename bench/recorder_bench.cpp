// Cost of turning 1000 queued span pieces into one traces post, and proof
// that the pieces' bytes are moved as evbuffer chains rather than copied:
// the referencing assembly is compared with a copying one, and each reports
// the chains in the body and the bytes it copied.
#include <benchmark/benchmark.h>
#include <event2/buffer.h>

#include <memory>
#include <string>
#include <vector>

#include "reporting/recorder_impl.h"
#include "support/loop_runner.h"
#include "support/loopback_server.h"

namespace vostrel {
namespace {

constexpr int kSpans = 1000;
const std::string kTail = ",\"service\":\"shop\"},\"n\":\"sdk\",\"f\":{\"e\":4711,\"h\":\"agent-uuid\"}}]";

// About the size of a span with a handful of tags.
std::string piece(int id) {
  std::string text = ",{\"t\":" + std::to_string(id) + ",\"s\":" + std::to_string(id) +
                     ",\"ts\":1700000000000,\"d\":12,\"data\":{\"sdk\":{\"name\":\"GET /checkout\",\"custom\":{\"tags\":{";
  text += "\"http.method\":\"GET\",\"http.status_code\":200,\"http.url\":\"/checkout?cart=42\",";
  text += "\"component\":\"nginx\",\"peer.address\":\"10.1.2.3:5123\"}}}";
  return text;
}

std::vector<ByteBuffer> makePieces() {
  std::vector<ByteBuffer> pieces(kSpans);
  for (int i = 0; i < kSpans; ++i) pieces[i].append(piece(i));
  return pieces;
}

int chainsOf(evbuffer* body) { return evbuffer_peek(body, -1, nullptr, nullptr, 0); }

// The recorder's own assembly: chains moved, tail referenced.
void BM_AssembleBatchByReference(benchmark::State& state) {
  int chains = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ByteBuffer> pieces = makePieces();
    evbuffer* body = evbuffer_new();
    state.ResumeTiming();
    appendBatch(pieces.data(), pieces.data() + pieces.size(), nullptr, nullptr, kTail, body);
    benchmark::DoNotOptimize(body);
    state.PauseTiming();
    chains = chainsOf(body);
    evbuffer_free(body);
    state.ResumeTiming();
  }
  state.counters["chains"] = chains;
  state.counters["bytes_copied"] = 0;
  state.SetItemsProcessed(state.iterations() * kSpans);
}
BENCHMARK(BM_AssembleBatchByReference);

// The same body built by copying every piece and every tail.
void BM_AssembleBatchByCopy(benchmark::State& state) {
  int chains = 0;
  std::size_t copied = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ByteBuffer> pieces = makePieces();
    evbuffer* body = evbuffer_new();
    state.ResumeTiming();
    copied = 0;
    std::string text;
    evbuffer_add(body, "[", 1);
    for (int i = 0; i < kSpans; ++i) {
      text = pieces[i].toString();
      const std::size_t skip = 1;
      evbuffer_add(body, text.data() + skip, text.size() - skip);
      const std::size_t tailLength = i + 1 == kSpans ? kTail.size() : kTail.size() - 1;
      evbuffer_add(body, kTail.data(), tailLength);
      copied += text.size() * 2 - skip + tailLength;
      pieces[i].reset();
    }
    benchmark::DoNotOptimize(body);
    state.PauseTiming();
    chains = chainsOf(body);
    evbuffer_free(body);
    state.ResumeTiming();
  }
  state.counters["chains"] = chains;
  state.counters["bytes_copied"] = static_cast<double>(copied);
  state.SetItemsProcessed(state.iterations() * kSpans);
}
BENCHMARK(BM_AssembleBatchByCopy);

// The agent link of a ready agent on the loopback server.
class ReadyLink : public AgentLink {
 public:
  ReadyLink(EventBase& base, const test::LoopbackServer& server) : connection_(base, 10000000) {
    connection_.connect(server.host(), server.port());
  }
  bool ready() const noexcept override { return true; }
  const std::string& spanTail() const noexcept override { return kTail; }
  const std::string& tracesPath() const noexcept override { return path_; }
  HttpConnection& httpConnection() noexcept override { return connection_; }
  void reset() noexcept override {}

 private:
  std::string path_ = "/com.vostrel.plugin.cpp/traces.4711";
  HttpConnection connection_;
};

// One flush of 1000 recorded spans: assembly, POST and the loopback answer.
void BM_FlushBatchToLoopbackServer(benchmark::State& state) {
  test::LoopbackServer server;
  EventBase base;
  ReadyLink link(base, server);
  Logger logger;
  logger.setThreshold(LogLevel::error);
  TracerOptions options;
  options.max_buffered_spans = kSpans;
  options.flush_interval = 3600000000;
  std::unique_ptr<RecorderImpl> recorder = std::make_unique<RecorderImpl>(&logger, &options, &base, &link);
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kSpans; ++i) {
      ByteBuffer span;
      span.append(piece(i));
      recorder->record(span);
    }
    server.clearRequests();
    state.ResumeTiming();
    recorder->onFlush();
    if (!test::runLoopUntil(base, [&] { return !recorder->posting(); })) {
      state.SkipWithError("no answer from the loopback server");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kSpans);
  recorder.reset();
}
BENCHMARK(BM_FlushBatchToLoopbackServer)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vostrel

BENCHMARK_MAIN();
