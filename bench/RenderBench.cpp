// Text rendering of trace blocks, as the dispatcher does for text log files
// and the utility for exports: blocks of typical client records (names,
// timestamp one millisecond apart, messages of 40-120 characters, one in
// eight on two lines) rendered to a memory buffer. Reports records/second.
// Also the allocation-free record builder the client library writes with.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/BuiltInTracePackets.h"
#include "TraceData/TraceDataReader.h"

namespace {

constexpr uint32_t kRecordsPerBlock = 500;

TraceRecordFields TypicalRecord(uint32_t i, std::string& text) {
  static const char* modules[] = {"Network", "Storage", "Scheduler", "AuthenticationService"};
  static const char* labels[] = {"Info", "Warning", "Debug", "Error"};
  text = "request " + std::to_string(i) + " handled for session 0x" + std::to_string(i * 7919) +
         std::string(i % 80, '.');
  if (i % 8 == 0) text += "\nsecond line of the message";
  const uint32_t ms = i;  // one record per millisecond
  return TraceRecordFields{i,
                           TraceTimestamp{1767225600u + ms / 1000, static_cast<uint16_t>(ms % 1000), 0, 0, 0},
                           3086887840u + i % 4,
                           modules[i % 4],
                           labels[(i / 4) % 4],
                           "kivclient",
                           text};
}

std::vector<uint8_t> Blocks(uint32_t blocks) {
  SmartBufferOutputStream<65536> out;
  std::string text;
  uint32_t sequence = 0;
  for (uint32_t b = 0; b < blocks; ++b) {
    std::vector<uint8_t> body;
    for (uint32_t r = 0; r < kRecordsPerBlock; ++r) {
      const TraceRecordFields f = TypicalRecord(sequence++, text);
      const size_t at = body.size();
      body.resize(at + TraceRecordBuilder::RecordSize(f));
      TraceRecordBuilder::BuildRecord(f, body.data() + at, static_cast<uint32_t>(body.size() - at));
    }
    TraceBlockHeader header(static_cast<uint32_t>(body.size()), 4711);
    TraceRecordBuilder::AppendBlock(out, header, body.data());
  }
  return std::vector<uint8_t>(out.Data(), out.Data() + out.GetLength());
}

struct NullStream {
  void write(const void*, size_t) {}
};

void RenderBlocks(benchmark::State& state, const char* separator) {
  const std::vector<uint8_t> blocks = Blocks(4);
  SmartBufferOutputStream<65536> out;
  NullStream progress;
  for (auto _ : state) {
    out.Clear();
    MemoryInputStream in(blocks.data(), static_cast<uint32_t>(blocks.size()));
    KivDataTextExporter<MemoryInputStream, NullStream> exporter(in, progress, separator, false);
    exporter >> out;
    benchmark::DoNotOptimize(out.Data());
  }
  state.SetItemsProcessed(state.iterations() * 4 * kRecordsPerBlock);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(blocks.size()));
  state.counters["text_bytes_per_record"] = static_cast<double>(out.GetLength()) / (4 * kRecordsPerBlock);
}

void BM_RenderBlocksBlankSeparator(benchmark::State& state) { RenderBlocks(state, " "); }
void BM_RenderBlocksCommaSeparator(benchmark::State& state) { RenderBlocks(state, ","); }

void BM_BuildRecord(benchmark::State& state) {
  std::string text;
  const TraceRecordFields f = TypicalRecord(12345, text);
  uint8_t buffer[TraceRecordBuilder::kMaxRecordSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(TraceRecordBuilder::BuildRecord(f, buffer, sizeof buffer));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_RenderBlocksBlankSeparator);
BENCHMARK(BM_RenderBlocksCommaSeparator);
BENCHMARK(BM_BuildRecord);
BENCHMARK_MAIN();
