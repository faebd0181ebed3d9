// Runs the comparison of the trace facility with the tracers users would pick
// instead, and prints the results as Markdown tables:
//
//   1. cost of one trace call (median and p99 per call, 1 and 2 threads)
//   2. end-to-end throughput with 1, 2 and 4 writing processes
//   3. export of a binary log to text beside babeltrace2 on the same records
//   4. latency from the trace call to the record in the log file
//   5. resident memory of the dispatcher with 0, 10 and 50 clients
//   6. idle scaling: dispatcher CPU, wake-ups and memory with 0, 200 and
//      1,000 registered idle clients, and the CPU of an idle client
//
// Every measurement runs both sides in the same run and the ratios are taken
// within each run; tables give the median and min-max over the runs. All
// processes run in sandboxes under --work-dir: each dispatcher has its own
// OLVAN_VORNEL_DIR/OLVAN_VORNEL_CFG and is stopped at the end of its step; the
// session daemon of the peer tracer runs with its own HOME/LTTNG_HOME and is
// stopped by this program.
//
//   KivBench [--runs=3] [--records=2000000] [--work-dir=/tmp/kivbench]
//            [--only=cost,stream,latency,rss,idle] [--results=FILE]
//            [--idle-clients=0,200,1000]
//
// "scripts/bench.sh --only=idle" runs the idle scaling step alone (it needs
// none of the peers' packages).

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/BenchProcess.h"
#include "bench/support/BenchStats.h"
#include "bench/support/KivBenchSandbox.h"
#include "bench/support/LttngSession.h"

namespace fs = std::filesystem;
using namespace kivbench;

namespace {

// ---------------------------------------------------------------- results ---

// Figures by key, one value per run.
class Results {
 public:
  void Add(const std::string& key, double value) { m_Values[key].push_back(value); }
  RunSummary Get(const std::string& key) const {
    auto it = m_Values.find(key);
    return it == m_Values.end() ? RunSummary{} : Summarise(it->second);
  }
  std::string Cell(const std::string& key, int digits) const { return FormatSummary(Get(key), digits); }
  bool Has(const std::string& key) const { return m_Values.count(key) > 0; }
  // Every figure of every run, one "key<TAB>value<TAB>value..." line each.
  void WriteRaw(std::ostream& out) const {
    for (const auto& [key, values] : m_Values) {
      out << key;
      for (double v : values) out << '\t' << v;
      out << '\n';
    }
  }
  // Adds a/b for every run that has both (the lists are filled run by run).
  void AddRatio(const std::string& key, const std::string& a, const std::string& b) {
    auto ia = m_Values.find(a), ib = m_Values.find(b);
    if (ia == m_Values.end() || ib == m_Values.end() || ia->second.empty() || ib->second.empty()) return;
    double x = ia->second.back(), y = ib->second.back();
    if (y != 0 && !std::isnan(x) && !std::isnan(y)) Add(key, x / y);
  }

 private:
  std::map<std::string, std::vector<double>> m_Values;
};

struct Setup {
  std::string binDir;
  std::string workDir;
  int runs = 3;
  uint64_t records = 2000000;
  std::set<std::string> only;
  std::vector<int> idleClients{0, 200, 1000};
  bool haveKiv = false;
  bool haveLttng = false;
  bool haveSpdlog = false;
  bool Wants(const std::string& part) const { return only.empty() || only.count(part); }
  std::string Writer() const { return binDir + "/BenchWriter"; }
};

void Note(const std::string& text) {
  static const uint64_t start = NowNs();
  std::cerr << "[kivbench " << FormatNumber(static_cast<double>(NowNs() - start) / 1e9, 0) << " s] " << text
            << std::endl;
}

// Reads every line of a worker until it ends; hands "COST"/"RESULT"/"LATENCY" lines to `take`.
int Drain(ChildProcess& child, const std::function<void(const std::string&)>& take, int timeoutMs = 600000) {
  std::string line;
  uint64_t deadline = NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000ull;
  while (NowNs() < deadline &&
         child.ReadLine(line, static_cast<int>((deadline - NowNs()) / 1000000ull) + 1)) {
    if (line.rfind("ERROR", 0) == 0) Note("worker: " + line);
    take(line);
  }
  return child.Wait();
}

std::string WordAt(const std::string& line, size_t index) {
  std::istringstream in(line);
  std::string w;
  for (size_t i = 0; i <= index && (in >> w); ++i) {
  }
  return w;
}

// ------------------------------------------------------------- 1. cost -----

void RunCostWorker(const Setup& s, Results& r, const std::vector<std::string>& args, const EnvList& env) {
  std::vector<std::string> argv{s.Writer(), "cost"};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv, env);
  Drain(child, [&](const std::string& line) {
    if (line.rfind("COST ", 0) != 0) return;
    auto v = ParseResultLine(line);
    std::string key = "cost/" + WordAt(line, 1) + "/" + std::to_string(static_cast<int>(v["threads"]));
    r.Add(key + "/median", v["median_ns"]);
    r.Add(key + "/p99", v["p99_ns"]);
    r.Add(key + "/calls", v["calls"]);
    r.Add(key + "/written", v["written"]);
    r.Add(key + "/dropped", v["dropped"]);
  });
}

void CostRun(const Setup& s, Results& r) {
  for (int threads : {1, 2}) {
    std::string t = "--threads=" + std::to_string(threads);
    RunCostWorker(s, r, {"--tracer=floor", t}, {});
    if (s.haveSpdlog) {
      std::string dir = MakeTempDir(s.workDir, "spdlog-");
      RunCostWorker(s, r, {"--tracer=spdlog", t, "--log-dir=" + dir}, {});
      RemoveTree(dir);
    }
    if (s.haveKiv) {
      KivBenchSandbox box(s.workDir, s.binDir);
      box.WriteConfig("binary");
      RunCostWorker(s, r, {"--tracer=kiv", t, "--shapes=kiv_no_dispatcher"}, box.Env());
      box.StartDispatcher();
      RunCostWorker(s, r, {"--tracer=kiv", t, "--registered=1", "--shapes=kiv_disabled,kiv_text,kiv_format"},
                    box.Env());
      box.StopDispatcher();
    }
    if (s.haveLttng) {
      LttngDaemon daemon(s.workDir + "/lttng-home");
      RunCostWorker(s, r, {"--tracer=lttng", t, "--shapes=lttng_disabled"}, daemon.Env());
      std::string out = MakeTempDir(s.workDir, "lttng-cost-");
      LttngSession session(daemon, "kivbenchcost", out + "/trace");
      RunCostWorker(s, r, {"--tracer=lttng", t, "--shapes=lttng_enabled"}, daemon.Env());
      uint64_t discarded = session.Stop();
      r.Add("cost/lttng_enabled/" + std::to_string(threads) + "/dropped_by_tracer",
            static_cast<double>(discarded));
      RemoveTree(out);
    }
    std::string k = "/" + std::to_string(threads) + "/median";
    std::string tn = std::to_string(threads);
    r.AddRatio("ratio/text_vs_lttng/" + tn, "cost/kiv_text" + k, "cost/lttng_enabled" + k);
    r.AddRatio("ratio/text_vs_floor/" + tn, "cost/kiv_text" + k, "cost/floor_all_four" + k);
    r.AddRatio("ratio/format_vs_lttng/" + tn, "cost/kiv_format" + k, "cost/lttng_enabled" + k);
    r.AddRatio("ratio/lossless_vs_blocking/" + tn, "stream/kiv_binary_lossless/" + tn + "/records_per_s",
               "stream/lttng_blocking/" + tn + "/records_per_s");
    r.AddRatio("ratio/text_vs_spdlog/" + tn, "cost/kiv_text" + k, "cost/spdlog_async" + k);
    r.AddRatio("ratio/format_vs_spdlog/" + tn, "cost/kiv_format" + k, "cost/spdlog_async" + k);
    r.AddRatio("ratio/disabled_vs_spdlog_off/" + tn, "cost/kiv_disabled" + k, "cost/spdlog_off" + k);
  }
}

// ----------------------------------------------------- 2. and 3. stream ----

struct Workers {
  std::vector<std::unique_ptr<ChildProcess>> list;
  // Starts `n` stream writers and waits until each is ready.
  Workers(const Setup& s, const std::string& tracer, int n, uint64_t records, const EnvList& env,
          const std::vector<std::string>& extraArgs = {}) {
    for (int i = 0; i < n; ++i) {
      std::vector<std::string> argv{s.Writer(), "stream", "--tracer=" + tracer,
                                    "--records=" + std::to_string(records / static_cast<uint64_t>(n))};
      argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
      list.push_back(std::make_unique<ChildProcess>(argv, env));
    }
    for (auto& w : list) {
      std::string line;
      if (!w->WaitForLine("READY", line, 60000))
        throw std::runtime_error(tracer + " writer did not get ready");
    }
  }
  void Go() {
    for (auto& w : list) w->Send("GO\n");
  }
  // Waits for every result; sums written and dropped; latest end times.
  struct Totals {
    double written = 0, dropped = 0, retried = 0;
    uint64_t lastEnd = 0, lastClosed = 0;
  };
  Totals Finish() {
    Totals t;
    for (auto& w : list) {
      Drain(*w, [&](const std::string& line) {
        if (line.rfind("RESULT", 0) != 0) return;
        auto v = ParseResultLine(line);
        t.written += v["written"];
        t.dropped += v["dropped"];
        t.retried += v["retried"];
        t.lastEnd = std::max(t.lastEnd, static_cast<uint64_t>(v["end_ns"]));
        t.lastClosed = std::max(t.lastClosed, static_cast<uint64_t>(v["closed_ns"]));
      });
    }
    return t;
  }
};

double CpuOf(pid_t pid) {
  ProcessUsage u;
  return ReadProcessUsage(pid, u) ? u.cpuSeconds : std::nan("");
}

// CPU time of a process and of its children (the session daemon's consumer).
double CpuWithChildren(pid_t pid) {
  double total = CpuOf(pid);
  // Any of the daemon's threads may have started a child.
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream children(task.path() / "children");
    for (long child; children >> child;) total += CpuOf(static_cast<pid_t>(child));
  }
  return total;
}

uint64_t CountLinesInFiles(const std::vector<std::string>& files, const std::string& needle) {
  uint64_t n = 0;
  for (const auto& f : files) n += CountLinesContaining(f, needle);
  return n;
}

uint64_t TreeBytes(const std::string& dir) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

constexpr const char* kRecordTag = "rec 00";  // in every streamed record's text, in no other

// Figures of one conversion to text: `inputBytes` read, one record per line of `textFile`.
void AddExportFigures(Results& r, const std::string& tool, double seconds, uint64_t inputBytes,
                      const std::string& textFile) {
  std::string k = "export/" + tool;
  double lines = static_cast<double>(CountLinesContaining(textFile, ""));
  r.Add(k + "/seconds", seconds);
  r.Add(k + "/input_mb", static_cast<double>(inputBytes) / 1e6);
  r.Add(k + "/mb_per_s", static_cast<double>(inputBytes) / 1e6 / seconds);
  r.Add(k + "/records", lines);
  r.Add(k + "/records_per_s", lines / seconds);
  r.Add(k + "/output_mb", static_cast<double>(FileSize(textFile)) / 1e6);
}

// Real-time priority of the drains in the runs that ask for it.
constexpr int kBenchDrainPriority = 10;

// `lossless`: writers offer a refused record again (see BenchWriter).
// `realTime`: the dispatcher's drains run at kBenchDrainPriority.
void KivStreamRun(const Setup& s, Results& r, const std::string& format, int n, bool lossless,
                  bool measureExport, bool realTime = false) {
  KivBenchSandbox box(s.workDir, s.binDir);
  box.WriteConfig(format, 512000, 20, realTime ? kBenchDrainPriority : 0);
  pid_t dispatcher = box.StartDispatcher();
  std::string key =
      "stream/kiv_" + format + (lossless ? "_lossless" : "") + (realTime ? "_rt/" : "/") + std::to_string(n);
  Workers workers(s, "kiv", n, s.records, box.Env(), {lossless ? "--lossless=1" : "--lossless=0"});
  SleepMs(300);  // registration and attach records settle
  uint64_t baseBytes = box.LogBytes();
  double cpu0 = CpuOf(dispatcher);
  uint64_t go = NowNs();
  workers.Go();
  // Log size over time, until every writer has ended and detached.
  std::vector<std::pair<uint64_t, uint64_t>> growth;
  Workers::Totals totals;
  std::atomic<bool> finished{false};
  std::thread collector([&] {
    totals = workers.Finish();
    finished.store(true);
  });
  for (;;) {
    growth.emplace_back(NowNs(), box.LogBytes());
    if (finished.load() && box.ClientRings() == 0) break;
    if (NowNs() - go > 300000000000ull) break;
    SleepMs(2);
  }
  collector.join();
  SleepMs(200);
  uint64_t finalBytes = box.LogBytes();
  double cpu1 = CpuOf(dispatcher);
  // Everything was in the files when the size first came within the
  // detach records' length of its final value.
  uint64_t slack = 512ull * static_cast<uint64_t>(n);
  uint64_t end = growth.back().first;
  for (const auto& [t, bytes] : growth)
    if (bytes + slack >= finalBytes) {
      end = t;
      break;
    }
  box.StopDispatcher();

  uint64_t counted = 0;
  if (format == "binary") {
    std::string exported = box.Dir() + "/export.txt";
    uint64_t t0 = NowNs();
    CommandResult e = RunCommand(
        {s.binDir + "/kivtool", "export", "-d", box.LogDir(), "-f", exported, "-silent"}, box.Env(), 600000);
    double seconds = static_cast<double>(NowNs() - t0) / 1e9;
    if (e.exitCode != 0) Note("kivtool export failed: " + e.output);
    counted = CountLinesContaining(exported, kRecordTag);
    if (measureExport) {
      AddExportFigures(r, "kiv", seconds, box.LogBytes(), exported);
    }
  } else {
    counted = CountLinesInFiles(box.LogFiles(), kRecordTag);
  }
  double seconds = static_cast<double>(end - go) / 1e9;
  r.Add(key + "/records_per_s", static_cast<double>(counted) / seconds);
  r.Add(key + "/written", totals.written);
  r.Add(key + "/dropped", lossless ? totals.dropped - totals.retried : totals.dropped);
  r.Add(key + "/retried", totals.retried);
  r.Add(key + "/in_log", static_cast<double>(counted));
  r.Add(key + "/lost", totals.written - static_cast<double>(counted));
  r.Add(key + "/writers_s", static_cast<double>(totals.lastEnd - go) / 1e9);
  r.Add(key + "/cpu_per_million", (cpu1 - cpu0) / static_cast<double>(std::max<uint64_t>(counted, 1)) * 1e6);
  r.Add(key + "/log_mb", static_cast<double>(finalBytes - baseBytes) / 1e6);
}

// `blocking`: the channel makes writers wait for room instead of discarding
// (the peer's own lossless mode).
void LttngStreamRun(const Setup& s, Results& r, const LttngDaemon& daemon, int n, bool blocking,
                    bool measureExport) {
  std::string out = MakeTempDir(s.workDir, "lttng-stream-");
  std::string key = std::string("stream/") + (blocking ? "lttng_blocking/" : "lttng/") + std::to_string(n);
  {
    LttngSession session(daemon, "kivbenchstream", out + "/trace", 256, 4, blocking);
    EnvList env = daemon.Env();
    if (blocking) env.push_back("LTTNG_UST_ALLOW_BLOCKING=1");
    Workers workers(s, "lttng", n, s.records, env);
    double cpu0 = CpuWithChildren(daemon.Pid());
    uint64_t go = NowNs();
    workers.Go();
    Workers::Totals totals = workers.Finish();
    double cpu1 = CpuWithChildren(daemon.Pid());
    uint64_t discarded = session.Stop();
    uint64_t end = NowNs();
    double cpu2 = CpuWithChildren(daemon.Pid());
    int64_t recorded = CountTraceEvents(out + "/trace");
    double seconds = static_cast<double>(end - go) / 1e9;
    r.Add(key + "/records_per_s", static_cast<double>(recorded) / seconds);
    r.Add(key + "/written", totals.written);
    // Calls made less events in the trace: the tracer's own report is kept beside.
    r.Add(key + "/dropped", totals.written - static_cast<double>(recorded));
    r.Add(key + "/dropped_reported", static_cast<double>(discarded));
    r.Add(key + "/in_log", static_cast<double>(recorded));
    r.Add(key + "/writers_s", static_cast<double>(totals.lastEnd - go) / 1e9);
    r.Add(key + "/cpu_per_million",
          (cpu2 - cpu0) / static_cast<double>(std::max<int64_t>(recorded, 1)) * 1e6);
    r.Add(key + "/log_mb", static_cast<double>(TreeBytes(out + "/trace")) / 1e6);
    (void)cpu1;
  }
  if (measureExport) {
    std::string text = out + "/babeltrace2.txt";
    uint64_t t0 = NowNs();
    CommandResult e = RunCommand({"/usr/bin/babeltrace2", out + "/trace"}, {}, 900000, text);
    double seconds = static_cast<double>(NowNs() - t0) / 1e9;
    if (e.exitCode != 0) Note("babeltrace2 failed: " + e.output);
    AddExportFigures(r, "babeltrace2", seconds, TreeBytes(out + "/trace"), text);
  }
  RemoveTree(out);
}

void SpdlogStreamRun(const Setup& s, Results& r, int n) {
  std::string dir = MakeTempDir(s.workDir, "spdlog-stream-");
  std::string key = "stream/spdlog/" + std::to_string(n);
  Workers workers(s, "spdlog", n, s.records, {}, {"--log-dir=" + dir});
  uint64_t go = NowNs();
  workers.Go();
  Workers::Totals totals = workers.Finish();
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path().string());
  uint64_t counted = CountLinesInFiles(files, kRecordTag);
  double seconds = static_cast<double>(totals.lastClosed - go) / 1e9;
  r.Add(key + "/records_per_s", static_cast<double>(counted) / seconds);
  r.Add(key + "/written", totals.written);
  r.Add(key + "/dropped", totals.dropped);
  r.Add(key + "/in_log", static_cast<double>(counted));
  r.Add(key + "/lost", totals.written - static_cast<double>(counted));
  r.Add(key + "/writers_s", static_cast<double>(totals.lastEnd - go) / 1e9);
  r.Add(key + "/log_mb", static_cast<double>(TreeBytes(dir)) / 1e6);
  RemoveTree(dir);
}

void StreamRun(const Setup& s, Results& r) {
  for (int n : {1, 2, 4}) {
    std::string tn = std::to_string(n);
    if (s.haveKiv) {
      Note("stream: kiv binary, " + tn + " writers");
      KivStreamRun(s, r, "binary", n, false, false);
      if (n <= 2) {
        Note("stream: kiv binary lossless, " + tn + " writers");
        KivStreamRun(s, r, "binary", n, true, n == 1);
      }
      Note("stream: kiv text, " + tn + " writers");
      KivStreamRun(s, r, "text", n, false, false);
      for (const char* format : {"binary", "text"}) {
        Note(std::string("stream: kiv ") + format + " with real-time drains, " + tn + " writers");
        KivStreamRun(s, r, format, n, false, false, true);
      }
    }
    if (s.haveLttng) {
      LttngDaemon daemon(s.workDir + "/lttng-home");
      Note("stream: lttng, " + tn + " writers");
      LttngStreamRun(s, r, daemon, n, false, false);
      if (n <= 2) {
        Note("stream: lttng blocking, " + tn + " writers");
        LttngStreamRun(s, r, daemon, n, true, n == 1);
      }
    }
    if (s.haveSpdlog) {
      Note("stream: spdlog, " + tn + " writers");
      SpdlogStreamRun(s, r, n);
    }
    r.AddRatio("ratio/binary_vs_lttng/" + tn, "stream/kiv_binary/" + tn + "/records_per_s",
               "stream/lttng/" + tn + "/records_per_s");
    r.AddRatio("ratio/lossless_vs_blocking/" + tn, "stream/kiv_binary_lossless/" + tn + "/records_per_s",
               "stream/lttng_blocking/" + tn + "/records_per_s");
    r.AddRatio("ratio/textlog_vs_spdlog/" + tn, "stream/kiv_text/" + tn + "/records_per_s",
               "stream/spdlog/" + tn + "/records_per_s");
    r.AddRatio("ratio/binary_rt_vs_lttng/" + tn, "stream/kiv_binary_rt/" + tn + "/records_per_s",
               "stream/lttng/" + tn + "/records_per_s");
    r.AddRatio("ratio/textlog_rt_vs_spdlog/" + tn, "stream/kiv_text_rt/" + tn + "/records_per_s",
               "stream/spdlog/" + tn + "/records_per_s");
  }
  r.AddRatio("ratio/export_vs_babeltrace2", "export/kiv/records_per_s", "export/babeltrace2/records_per_s");
}

// ------------------------------------------------------------ 4. latency ---

void LatencyRun(const Setup& s, Results& r) {
  KivBenchSandbox box(s.workDir, s.binDir);
  box.WriteConfig("binary");
  box.StartDispatcher();
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  for (const Case& c : {Case{"idle", {"--samples=15", "--interval-ms=250", "--busy-rate=0"}},
                        Case{"busy", {"--samples=15", "--interval-ms=150", "--busy-rate=50000"}}}) {
    std::vector<std::string> argv{s.Writer(), "latency", "--log-dir=" + box.LogDir()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess child(argv, box.Env());
    Drain(child, [&](const std::string& line) {
      if (line.rfind("RESULT", 0) != 0) return;
      auto v = ParseResultLine(line);
      std::string key = std::string("latency/") + c.name;
      r.Add(key + "/median_ms", v["median_ms"]);
      r.Add(key + "/p90_ms", v["p90_ms"]);
      r.Add(key + "/max_ms", v["max_ms"]);
      r.Add(key + "/missing", v["missing"]);
      r.Add(key + "/dropped", v["dropped"]);
      r.Add(key + "/written", v["written"]);
      r.Add(key + "/refused_markers", v["refused_markers"]);
    });
  }
  box.StopDispatcher();
}

// ---------------------------------------------------------------- 5. RSS ---

constexpr int kIdleWindowMs = 10000;
constexpr size_t kIdleStartBatch = 50;  // clients started before waiting for them to register

// Starts `mode` processes of BenchWriter until `processes` holds `target`,
// a batch at a time, each one waited for until it is ready.
void StartIdleProcesses(const Setup& s, const std::vector<std::string>& env, const std::string& mode,
                        int target, std::vector<std::unique_ptr<ChildProcess>>& processes) {
  while (static_cast<int>(processes.size()) < target) {
    size_t first = processes.size();
    while (static_cast<int>(processes.size()) < target && processes.size() - first < kIdleStartBatch)
      processes.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{s.Writer(), mode}, env));
    for (size_t i = first; i < processes.size(); ++i) {
      std::string line;
      if (!processes[i]->WaitForLine("READY", line, 120000)) Note("an idle " + mode + " did not get ready");
    }
  }
}

// Closes their input, on which they wait, and waits for them to end.
void StopIdleProcesses(std::vector<std::unique_ptr<ChildProcess>>& processes) {
  for (auto& p : processes) p->CloseInput();
  for (auto& p : processes) p->Wait();
  processes.clear();
}

void RssRun(const Setup& s, Results& r) {
  KivBenchSandbox box(s.workDir, s.binDir);
  box.WriteConfig("binary");
  pid_t dispatcher = box.StartDispatcher();
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (int target : {0, 10, 50}) {
    StartIdleProcesses(s, box.Env(), "idle", target, clients);
    SleepMs(1000);
    ProcessUsage u;
    ReadProcessUsage(dispatcher, u);
    std::string key = "rss/" + std::to_string(target);
    r.Add(key + "/rss_kib", static_cast<double>(u.rssKiB));
    r.Add(key + "/anon_kib", static_cast<double>(u.rssAnonKiB));
    r.Add(key + "/file_kib", static_cast<double>(u.rssFileKiB));
    r.Add(key + "/shmem_kib", static_cast<double>(u.rssShmemKiB));
    r.Add(key + "/threads", u.threads);
    r.Add(key + "/registered", box.ClientRings());
  }
  StopIdleProcesses(clients);
  box.StopDispatcher();
}

// ------------------------------------------------------- 6. idle scaling ---

double LoadAverage1() {
  std::ifstream load("/proc/loadavg");
  double l1 = std::nan("");
  load >> l1;
  return l1;
}

// Every client holds two pipes here and the dispatcher a few descriptors per
// client: the soft limit is raised to what the largest step needs (up to the
// hard limit). False when it stays short.
bool RaiseDescriptorLimit(int clients) {
  const rlim_t need = static_cast<rlim_t>(clients) * 8 + 256;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= need) return true;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? need : std::min(need, limit.rlim_max);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= need;
}

// The time on a CPU of a set of processes over one measuring window.
class IdleWindow {
 public:
  explicit IdleWindow(const std::vector<std::unique_ptr<ChildProcess>>& processes) : m_Processes(processes) {
    for (const auto& p : processes) m_Before.push_back(RunSeconds(p->Pid()));
    m_Start = NowNs();
  }
  // Waits out the window; its length in seconds.
  double Wait() {
    SleepMs(kIdleWindowMs);
    m_Seconds = static_cast<double>(NowNs() - m_Start) / 1e9;
    for (size_t i = 0; i < m_Processes.size(); ++i) {
      const double used = RunSeconds(m_Processes[i]->Pid()) - m_Before[i];
      m_Sum += used;
      m_Max = std::max(m_Max, used);
    }
    return m_Seconds;
  }
  double MeanPercent() const { return 100.0 * m_Sum / static_cast<double>(m_Processes.size()) / m_Seconds; }
  double MaxPercent() const { return 100.0 * m_Max / m_Seconds; }

 private:
  const std::vector<std::unique_ptr<ChildProcess>>& m_Processes;
  std::vector<double> m_Before;
  uint64_t m_Start = 0;
  double m_Seconds = 1, m_Sum = 0, m_Max = 0;
};

void IdleRun(const Setup& s, Results& r) {
  const int most = *std::max_element(s.idleClients.begin(), s.idleClients.end());
  if (!RaiseDescriptorLimit(most)) Note("descriptor limit too low for " + std::to_string(most) + " clients");
  KivBenchSandbox box(s.workDir, s.binDir);
  box.WriteConfig("binary");
  pid_t dispatcher = box.StartDispatcher();
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (int target : s.idleClients) {
    StartIdleProcesses(s, box.Env(), "idle", target, clients);
    // Registrations and their first drains are over; the window then holds
    // whole ping cycles (2 s) of every client.
    SleepMs(2000);
    const size_t n = clients.size();
    ProcessUsage before, after;
    ReadProcessUsage(dispatcher, before);
    const uint64_t switchesBefore = ContextSwitches(dispatcher);
    const double runBefore = RunSeconds(dispatcher);
    IdleWindow window(clients);
    const double seconds = window.Wait();
    ReadProcessUsage(dispatcher, after);
    const uint64_t switches = ContextSwitches(dispatcher) - switchesBefore;
    const double run = RunSeconds(dispatcher) - runBefore;
    const std::string key = "idle/" + std::to_string(target);
    r.Add(key + "/registered", box.ClientRings());
    r.Add(key + "/cpu_pct", 100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds);
    r.Add(key + "/run_pct", 100.0 * run / seconds);
    r.Add(key + "/wakeups_per_s", static_cast<double>(switches) / seconds);
    if (n != 0) {
      r.Add(key + "/wakeups_per_client_s", static_cast<double>(switches) / seconds / static_cast<double>(n));
      r.Add(key + "/client_cpu_pct", window.MeanPercent());
      r.Add(key + "/client_cpu_max_pct", window.MaxPercent());
    }
    r.Add(key + "/rss_kib", static_cast<double>(after.rssKiB));
    r.Add(key + "/threads", after.threads);
    r.Add(key + "/load", LoadAverage1());
  }
  StopIdleProcesses(clients);
  box.StopDispatcher();

  // The same counts of bare 100 ms wakers, with no dispatcher: what the
  // period alone costs a process on this machine.
  for (int target : s.idleClients) {
    if (target == 0) continue;
    StartIdleProcesses(s, box.Env(), "waker", target, clients);
    SleepMs(2000);
    IdleWindow window(clients);
    window.Wait();
    const std::string key = "idle/" + std::to_string(target);
    r.Add(key + "/waker_cpu_pct", window.MeanPercent());
    r.Add(key + "/waker_cpu_max_pct", window.MaxPercent());
  }
  StopIdleProcesses(clients);
}

// ------------------------------------------------------------- reporting ---

std::string Machine() {
  std::ostringstream out;
  std::ifstream cpu("/proc/cpuinfo");
  std::string model;
  for (std::string line; std::getline(cpu, line);)
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  std::ifstream version("/proc/sys/kernel/osrelease");
  std::string kernel;
  std::getline(version, kernel);
  std::ifstream load("/proc/loadavg");
  std::string l1, l5, l15;
  load >> l1 >> l5 >> l15;
  out << "nproc " << sysconf(_SC_NPROCESSORS_ONLN) << ", " << model << ", kernel " << kernel
      << ", load average " << l1 << " " << l5 << " " << l15;
  return out.str();
}

void PrintCost(std::ostream& o, const Results& r) {
  o << "\n### 1. Cost of one trace call (ns per call; median and p99 of 64-call batches; median (min–max) of "
       "runs)\n\n";
  o << "| Call | 1 thread median | 1 thread p99 | 2 threads median | 2 threads p99 | records dropped (1 / 2 "
       "threads) |\n";
  o << "|---|---|---|---|---|---|\n";
  const char* shapes[][2] = {{"floor_mutex", "floor: uncontended mutex lock+unlock"},
                             {"floor_atomic_add", "floor: atomic fetch-and-add (shared counter)"},
                             {"floor_clock_gettime", "floor: clock_gettime(CLOCK_REALTIME)"},
                             {"floor_copy64", "floor: 64-byte copy"},
                             {"floor_all_four", "floor: all four in sequence"},
                             {"kiv_disabled", "KivTraceText, module disabled"},
                             {"kiv_no_dispatcher", "KivTraceText, enabled, no dispatcher"},
                             {"kiv_text", "KivTraceText 64 bytes into the ring"},
                             {"kiv_format", "KivTrace \"%.49s value=%08d\" into the ring"},
                             {"lttng_disabled", "LTTng-UST tracepoint, disabled"},
                             {"lttng_enabled", "LTTng-UST tracepoint, enabled (int + 64-byte text)"},
                             {"spdlog_off", "spdlog, level off"},
                             {"spdlog_async", "spdlog async, rotating file (same format)"}};
  for (auto& s : shapes) {
    std::string k1 = std::string("cost/") + s[0] + "/1", k2 = std::string("cost/") + s[0] + "/2";
    if (!r.Has(k1 + "/median")) continue;
    std::string drops = r.Cell(k1 + "/dropped", 0) + " / " + r.Cell(k2 + "/dropped", 0);
    if (r.Has(k1 + "/dropped_by_tracer"))
      drops = r.Cell(k1 + "/dropped_by_tracer", 0) + " / " + r.Cell(k2 + "/dropped_by_tracer", 0) +
              " (tracer's report)";
    o << "| " << s[1] << " | " << r.Cell(k1 + "/median", 1) << " | " << r.Cell(k1 + "/p99", 1) << " | "
      << r.Cell(k2 + "/median", 1) << " | " << r.Cell(k2 + "/p99", 1) << " | " << drops << " |\n";
  }
  o << "\n| Ratio (medians, within each run) | 1 thread | 2 threads | target |\n|---|---|---|---|\n";
  const char* ratios[][3] = {
      {"text_vs_lttng", "KivTraceText / LTTng enabled", "≤ 0.8"},
      {"text_vs_floor", "KivTraceText / floor (all four)", "≤ 2.5"},
      {"format_vs_lttng", "KivTrace formatted / LTTng enabled", "≤ 1.2"},
      {"text_vs_spdlog", "KivTraceText / spdlog async", "far below 1"},
      {"format_vs_spdlog", "KivTrace formatted / spdlog async", "far below 1"},
      {"disabled_vs_spdlog_off", "KivTraceText disabled / spdlog level off", "≤ 0.5 (and ≤ 4 ns)"}};
  for (auto& q : ratios)
    o << "| " << q[1] << " | " << r.Cell(std::string("ratio/") + q[0] + "/1", 2) << " | "
      << r.Cell(std::string("ratio/") + q[0] + "/2", 2) << " | " << q[2] << " |\n";
}

void PrintStream(std::ostream& o, const Results& r, uint64_t records) {
  o << "\n### 2. End-to-end throughput (" << records
    << " records of 64 bytes in all; records per second until everything is in the files)\n\n";
  o << "| Writer | processes | records/s | in the files | dropped | offers retried | writers busy (s) | "
       "daemon CPU s per million | files (MB) |\n";
  o << "|---|---|---|---|---|---|---|---|---|\n";
  const char* sides[][2] = {{"kiv_binary", "Kiv, binary log"},
                            {"lttng", "LTTng-UST, discard mode"},
                            {"kiv_binary_lossless", "Kiv, binary log, writer retries refused records"},
                            {"lttng_blocking", "LTTng-UST, blocking channel"},
                            {"kiv_text", "Kiv, text log"},
                            {"kiv_binary_rt", "Kiv, binary log, drain_priority=10"},
                            {"kiv_text_rt", "Kiv, text log, drain_priority=10"},
                            {"spdlog", "spdlog async, rotating file"}};
  for (auto& side : sides)
    for (int n : {1, 2, 4}) {
      std::string k = std::string("stream/") + side[0] + "/" + std::to_string(n);
      if (!r.Has(k + "/records_per_s")) continue;
      o << "| " << side[1] << " | " << n << " | " << r.Cell(k + "/records_per_s", 0) << " | "
        << r.Cell(k + "/in_log", 0) << " | " << r.Cell(k + "/dropped", 0) << " | "
        << (r.Has(k + "/retried") ? r.Cell(k + "/retried", 0) : "—") << " | " << r.Cell(k + "/writers_s", 2)
        << " | " << (r.Has(k + "/cpu_per_million") ? r.Cell(k + "/cpu_per_million", 3) : "—") << " | "
        << r.Cell(k + "/log_mb", 0) << " |\n";
    }
  o << "\n| Ratio (records/s, within each run) | 1 process | 2 processes | 4 processes | target "
       "|\n|---|---|---|---|---|\n";
  o << "| Kiv binary / LTTng recorded | " << r.Cell("ratio/binary_vs_lttng/1", 2) << " | "
    << r.Cell("ratio/binary_vs_lttng/2", 2) << " | " << r.Cell("ratio/binary_vs_lttng/4", 2)
    << " | ≥ 1.0 with no drops (1, 2); no more drops (4) |\n";
  o << "| Kiv binary lossless / LTTng blocking | " << r.Cell("ratio/lossless_vs_blocking/1", 2) << " | "
    << r.Cell("ratio/lossless_vs_blocking/2", 2) << " | | |\n";
  o << "| Kiv text / spdlog | " << r.Cell("ratio/textlog_vs_spdlog/1", 2) << " | "
    << r.Cell("ratio/textlog_vs_spdlog/2", 2) << " | " << r.Cell("ratio/textlog_vs_spdlog/4", 2)
    << " | ≥ 1.5, no more drops than binary |\n";
  o << "| Kiv binary, drain_priority=10 / LTTng recorded | " << r.Cell("ratio/binary_rt_vs_lttng/1", 2)
    << " | " << r.Cell("ratio/binary_rt_vs_lttng/2", 2) << " | " << r.Cell("ratio/binary_rt_vs_lttng/4", 2)
    << " | as binary |\n";
  o << "| Kiv text, drain_priority=10 / spdlog | " << r.Cell("ratio/textlog_rt_vs_spdlog/1", 2) << " | "
    << r.Cell("ratio/textlog_rt_vs_spdlog/2", 2) << " | " << r.Cell("ratio/textlog_rt_vs_spdlog/4", 2)
    << " | as text |\n";

  o << "\n### 3. Export to text (the logs of the lossless 1-process runs: same records on both sides)\n\n";
  o << "| Tool | input (MB) | records | seconds | input MB/s | records/s | text (MB) "
       "|\n|---|---|---|---|---|---|---|\n";
  for (const char* tool : {"kiv", "babeltrace2"}) {
    std::string k = std::string("export/") + tool;
    if (!r.Has(k + "/seconds")) continue;
    o << "| " << (std::string(tool) == "kiv" ? "kivtool export" : "babeltrace2 (text)") << " | "
      << r.Cell(k + "/input_mb", 0) << " | " << r.Cell(k + "/records", 0) << " | "
      << r.Cell(k + "/seconds", 2) << " | " << r.Cell(k + "/mb_per_s", 0) << " | "
      << r.Cell(k + "/records_per_s", 0) << " | " << r.Cell(k + "/output_mb", 0) << " |\n";
  }
  o << "\nRatio of records/s, kivtool export / babeltrace2: " << r.Cell("ratio/export_vs_babeltrace2", 2)
    << " (target > 1; and ≥ 100 MB/s of binary input)\n";
}

void PrintLatency(std::ostream& o, const Results& r) {
  o << "\n### 4. Latency from the trace call to the record in the log file (ms; 15 markers per run)\n\n";
  o << "| Client | median | p90 | max | markers not found | markers refused and offered again | other "
       "records written / dropped |\n|---|---|---|---|---|---|---|\n";
  for (const char* c : {"idle", "busy"}) {
    std::string k = std::string("latency/") + c;
    if (!r.Has(k + "/median_ms")) continue;
    o << "| " << (std::string(c) == "idle" ? "idle" : "busy (50,000 records/s beside)") << " | "
      << r.Cell(k + "/median_ms", 1) << " | " << r.Cell(k + "/p90_ms", 1) << " | " << r.Cell(k + "/max_ms", 1)
      << " | " << r.Cell(k + "/missing", 0) << " | " << r.Cell(k + "/refused_markers", 0) << " | "
      << r.Cell(k + "/written", 0) << " / " << r.Cell(k + "/dropped", 0) << " |\n";
  }
}

void PrintRss(std::ostream& o, const Results& r) {
  o << "\n### 5. Dispatcher resident memory (KiB) by registered clients\n\n";
  o << "| Clients | VmRSS | anonymous | file | shared memory | threads | rings seen "
       "|\n|---|---|---|---|---|---|---|\n";
  for (int n : {0, 10, 50}) {
    std::string k = "rss/" + std::to_string(n);
    if (!r.Has(k + "/rss_kib")) continue;
    o << "| " << n << " | " << r.Cell(k + "/rss_kib", 0) << " | " << r.Cell(k + "/anon_kib", 0) << " | "
      << r.Cell(k + "/file_kib", 0) << " | " << r.Cell(k + "/shmem_kib", 0) << " | "
      << r.Cell(k + "/threads", 0) << " | " << r.Cell(k + "/registered", 0) << " |\n";
  }
}

void PrintIdle(std::ostream& o, const Results& r, const std::vector<int>& steps) {
  o << "\n### 6. Idle scaling (registered idle clients; " << kIdleWindowMs / 1000
    << " s window; CPU in % of one core)\n\n";
  o << "| Clients | rings seen | dispatcher CPU | dispatcher run time | dispatcher wake-ups/s | "
       "wake-ups/s per client | VmRSS (KiB) | threads | idle client CPU, mean | idle client CPU, max | "
       "load (1 min) | bare 100 ms waker CPU, mean | bare waker, max |\n"
       "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (int n : steps) {
    std::string k = "idle/" + std::to_string(n);
    if (!r.Has(k + "/cpu_pct")) continue;
    const bool clients = r.Has(k + "/client_cpu_pct");
    o << "| " << n << " | " << r.Cell(k + "/registered", 0) << " | " << r.Cell(k + "/cpu_pct", 2) << " | "
      << r.Cell(k + "/run_pct", 2) << " | " << r.Cell(k + "/wakeups_per_s", 0) << " | "
      << (clients ? r.Cell(k + "/wakeups_per_client_s", 1) : "—") << " | " << r.Cell(k + "/rss_kib", 0)
      << " | " << r.Cell(k + "/threads", 0) << " | " << (clients ? r.Cell(k + "/client_cpu_pct", 3) : "—")
      << " | " << (clients ? r.Cell(k + "/client_cpu_max_pct", 2) : "—") << " | " << r.Cell(k + "/load", 2)
      << " | " << (r.Has(k + "/waker_cpu_pct") ? r.Cell(k + "/waker_cpu_pct", 3) : "—") << " | "
      << (r.Has(k + "/waker_cpu_max_pct") ? r.Cell(k + "/waker_cpu_max_pct", 2) : "—") << " |\n";
  }
  o << "\nTargets: dispatcher ≤ 1 % with 200 clients and ≤ 5 % with 1,000; ≤ 10 wake-ups/s per idle client; "
       "an idle client ≤ 0.1 %. Wake-ups are the context switches of the dispatcher's threads (voluntary and "
       "involuntary) over the window; CPU is utime+stime from /proc (tick resolution), run time the "
       "threads' time on a CPU from schedstat (nanoseconds; also used for the clients). The last two columns "
       "are the same count of processes that only wake every 100 ms and poll a process descriptor, with no "
       "dispatcher (`BenchWriter waker`): what the designed period alone costs a process on this machine.\n";
}

std::string BinDirOfSelf() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

}  // namespace

int main(int argc, char** argv) {
  Setup s;
  s.binDir = BinDirOfSelf();
  s.workDir = "/tmp/kivbench";
  std::string resultsFile;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* key) -> std::optional<std::string> {
      std::string k = std::string("--") + key + "=";
      if (a.rfind(k, 0) == 0) return a.substr(k.size());
      return std::nullopt;
    };
    if (auto v = value("runs"))
      s.runs = std::max(1, std::stoi(*v));
    else if (auto v = value("records"))
      s.records = std::stoull(*v);
    else if (auto v = value("work-dir"))
      s.workDir = *v;
    else if (auto v = value("results"))
      resultsFile = *v;
    else if (auto v = value("idle-clients")) {
      s.idleClients.clear();
      std::istringstream parts(*v);
      for (std::string p; std::getline(parts, p, ',');) s.idleClients.push_back(std::max(0, std::stoi(p)));
      if (s.idleClients.empty()) s.idleClients.push_back(0);
    } else if (auto v = value("only")) {
      std::istringstream parts(*v);
      for (std::string p; std::getline(parts, p, ',');) s.only.insert(p);
    } else {
      std::cerr << "usage: KivBench [--runs=N] [--records=N] [--work-dir=DIR] "
                   "[--only=cost,stream,latency,rss,idle] [--results=FILE] [--idle-clients=0,200,1000]\n";
      return 2;
    }
  }
  InstallCleanupOnSignals();
  // What the worker was built with decides which peers take part.
  CommandResult probe = RunCommand({s.Writer(), "cost", "--tracer=kiv", "--shapes=none", "--rounds=1"});
  s.haveKiv = probe.exitCode == 0;
  probe = RunCommand({s.Writer(), "cost", "--tracer=lttng", "--shapes=none", "--rounds=1"});
  s.haveLttng =
      probe.exitCode == 0 && fs::exists("/usr/bin/lttng-sessiond") && fs::exists("/usr/bin/babeltrace2");
  probe =
      RunCommand({s.Writer(), "cost", "--tracer=spdlog", "--shapes=none", "--rounds=1", "--log-dir=/tmp"});
  s.haveSpdlog = probe.exitCode == 0;
  fs::create_directories(s.workDir);
  std::string machineBefore = Machine();
  uint64_t started = NowNs();

  Results r;
  try {
    for (int run = 1; run <= s.runs; ++run) {
      Note("run " + std::to_string(run) + " of " + std::to_string(s.runs));
      if (s.Wants("cost")) {
        Note("cost of the trace call");
        CostRun(s, r);
      }
      if (s.Wants("stream")) StreamRun(s, r);
      if (s.Wants("latency") && s.haveKiv) {
        Note("latency");
        LatencyRun(s, r);
      }
      if (s.Wants("rss") && s.haveKiv) {
        Note("dispatcher memory");
        RssRun(s, r);
      }
      if (s.Wants("idle") && s.haveKiv) {
        Note("idle scaling");
        IdleRun(s, r);
      }
    }
  } catch (const std::exception& e) {
    Note(std::string("failed: ") + e.what());
    return 1;
  }

  std::ostringstream o;
  o << "Machine: " << machineBefore << " (at the start); " << Machine() << " (at the end)\n";
  o << "Runs: " << s.runs << ", wall time " << FormatNumber(static_cast<double>(NowNs() - started) / 1e9, 0)
    << " s; Kiv trace call " << (s.haveKiv ? "yes" : "NOT BUILT") << "; peers: LTTng-UST "
    << (s.haveLttng ? "yes" : "no") << ", spdlog " << (s.haveSpdlog ? "yes" : "no") << "\n";
  if (s.Wants("cost")) PrintCost(o, r);
  if (s.Wants("stream")) PrintStream(o, r, s.records);
  if (s.Wants("latency")) PrintLatency(o, r);
  if (s.Wants("rss")) PrintRss(o, r);
  if (s.Wants("idle")) PrintIdle(o, r, s.idleClients);
  std::cout << o.str();
  if (!resultsFile.empty()) {
    std::ofstream(resultsFile) << o.str();
    std::ofstream raw(resultsFile + ".tsv");
    r.WriteRaw(raw);
  }
  return 0;
}
