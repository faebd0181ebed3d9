// Export speed: a binary log of more than 100 MB of typical records (64 KiB
// blocks, ~100-character messages) rendered to one text, JSON Lines or CSV
// file, as "kivtool export -d <dir> -f <file> -silent [-format json|csv]"
// does it. Reports input MB/s
// (bytes_per_second) and records/s (items_per_second), on wall-clock time as
// the export waits for the disk.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "MultiFileStream/MultiFileOutputStream.h"
#include "TraceData/TraceRecordBuilder.h"
#include "kivtool/LogExporter.h"

namespace {

constexpr uint64_t kTargetBytes = 110ull * 1000 * 1000;

struct BlockOutput {
  std::string data;
  void write(const void* bytes, size_t length) { data.append(static_cast<const char*>(bytes), length); }
};

// Writes the log through the rotating output (10 MB files) so the input has
// the shape the dispatcher leaves behind. Returns the number of records.
uint64_t WriteLog(const std::string& directory) {
  KivBinaryMultiFileOutputStream out(directory, "kivlog-LOCAL", "txt", false, 1000, 10 * 1000 * 1000, 10,
                                     1024);
  const char* modules[] = {"Database", "Network", "Scheduler", "UserInterface"};
  const char* labels[] = {"Error", "Warning", "Info", "Debug"};
  uint64_t written = 0, records = 0;
  uint32_t sequence = 0;
  TraceTimestamp now = TraceTimestamp::Now();
  while (written < kTargetBytes) {
    std::string body;
    while (body.size() < 60 * 1024) {
      std::string message = "Request " + std::to_string(sequence) +
                            " completed after 12 ms with status OK; queue depth 3, retries 0, cache hit";
      TraceRecordFields fields{
          sequence, now, 3086887840u, modules[sequence % 4], labels[sequence % 4], "OrderService", message};
      uint8_t record[TraceRecordBuilder::kMaxRecordSize];
      uint32_t size = TraceRecordBuilder::BuildRecord(fields, record, sizeof record);
      body.append(reinterpret_cast<const char*>(record), size);
      ++sequence;
      ++records;
    }
    BlockOutput block;
    TraceRecordBuilder::AppendBlock(block, TraceBlockHeader(static_cast<uint32_t>(body.size()), 4711),
                                    body.data());
    out.write(block.data.data(), static_cast<uint32_t>(block.data.size()));
    written += block.data.size();
  }
  return records;
}

void ExportBinaryLog(benchmark::State& state, OutputFormat format) {
  char pattern[] = "/tmp/kiv-exportbench-XXXXXX";
  std::string root = mkdtemp(pattern);
  std::string logs = root + "/log/";
  std::filesystem::create_directories(logs);
  uint64_t records = WriteLog(logs);
  uint64_t inputBytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) inputBytes += entry.file_size() - 256;

  std::ostringstream progress;
  ExportRequest request;
  request.source = logs;
  request.singleOutput = true;
  request.output = root + "/export.txt";
  request.showProgress = false;
  request.render.format = format;
  for (auto _ : state) LogExporter(progress).Run(request);

  state.SetBytesProcessed(static_cast<int64_t>(inputBytes * state.iterations()));
  state.SetItemsProcessed(static_cast<int64_t>(records * state.iterations()));
  state.counters["input_MB"] = static_cast<double>(inputBytes) / 1e6;
  state.counters["output_MB"] = static_cast<double>(std::filesystem::file_size(request.output)) / 1e6;
  std::filesystem::remove_all(root);
}
void BM_ExportBinaryLogToText(benchmark::State& state) { ExportBinaryLog(state, OutputFormat::kText); }
void BM_ExportBinaryLogToJson(benchmark::State& state) { ExportBinaryLog(state, OutputFormat::kJson); }
void BM_ExportBinaryLogToCsv(benchmark::State& state) { ExportBinaryLog(state, OutputFormat::kCsv); }
BENCHMARK(BM_ExportBinaryLogToText)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ExportBinaryLogToJson)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ExportBinaryLogToCsv)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
