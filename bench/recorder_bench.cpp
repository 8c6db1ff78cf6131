// Cost of turning 1000 queued span pieces into one traces post: the
// recorder's copying assembly next to moving the pieces' chains, each with
// the chains it leaves in the body; and a whole flush to a loopback server.
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

// Times assemble(pieces, body) on 1000 fresh pieces and reports the chains
// it leaves in the body.
template <class Assemble>
void timeAssembly(benchmark::State& state, Assemble&& assemble) {
  int chains = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ByteBuffer> pieces = makePieces();
    evbuffer* body = evbuffer_new();
    state.ResumeTiming();
    assemble(pieces, body);
    benchmark::DoNotOptimize(body);
    state.PauseTiming();
    chains = chainsOf(body);
    evbuffer_free(body);
    state.ResumeTiming();
  }
  state.counters["chains"] = chains;
  state.SetItemsProcessed(state.iterations() * kSpans);
}

// The recorder's own assembly: pieces and tail copied into the body, the
// pieces' buffers given back for reuse.
void BM_AssembleBatch(benchmark::State& state) {
  SpareBuffers spares(kSpans);
  timeAssembly(state, [&](std::vector<ByteBuffer>& pieces, evbuffer* body) {
    appendBatch(pieces.data(), pieces.data() + pieces.size(), nullptr, nullptr, kTail, body, &spares);
    // Freed untimed, as the moving variant's pieces are freed with the body.
    state.PauseTiming();
    while (spares.take()) {
    }
    state.ResumeTiming();
  });
}
BENCHMARK(BM_AssembleBatch);

// The alternative it replaced: every piece's chain moved into the body and
// the tail added by reference, a chain each; the pieces' memory is then
// freed on the loop thread.
void BM_AssembleBatchByMovingChains(benchmark::State& state) {
  timeAssembly(state, [](std::vector<ByteBuffer>& pieces, evbuffer* body) {
    for (int i = 0; i < kSpans; ++i) {
      if (i == 0) {
        pieces[i].drain(1);
        pieces[i].prepend("[", 1);
      }
      pieces[i].appendReference(kTail.data(), i + 1 == kSpans ? kTail.size() : kTail.size() - 1);
      pieces[i].moveInto(body);
    }
  });
}
BENCHMARK(BM_AssembleBatchByMovingChains);

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
