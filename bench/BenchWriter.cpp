// The process that does the tracing in every benchmark. The driver (KivBench)
// starts it in the environment a measurement needs (sandbox, session daemon,
// dispatcher running or not) and reads its result lines:
//
//   BenchWriter cost    --tracer=T --threads=N --shapes=a,b [--rounds=R --calls=C --pause-ms=P --log-dir=D]
//       prints "COST <shape> threads=N median_ns=.. p99_ns=.. calls=.. written=.. dropped=.."
//   BenchWriter stream  --tracer=T --records=N [--log-dir=D] [--lossless=1]
//       prints "READY", waits for a line on standard input, writes N records
//       of 64 bytes as fast as it can, then "RESULT start_ns=.. end_ns=.. closed_ns=.. written=.. dropped=.."
//   BenchWriter latency --samples=N --interval-ms=I --busy-rate=R --log-dir=D
//       prints "LATENCY ns=.." per marker record and a final "RESULT ..."
//   BenchWriter idle    registers, writes a few records, prints "READY" and
//       stays until its standard input closes
//   BenchWriter waker   no tracing: a thread that wakes every 100 ms and polls
//       its parent's process descriptor, the least any 100 ms poller costs;
//       prints "READY" and stays until its standard input closes
//
// Tracers: "floor" (the primitives a trace call is made of), "kiv", "lttng",
// "spdlog". Times are taken with clock_gettime(CLOCK_MONOTONIC) around
// batches of calls; the timer's own cost, measured the same way around an
// empty batch, is subtracted.

#include <poll.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/BenchProcess.h"
#include "bench/support/BenchStats.h"
#include "bench/support/KivBenchSandbox.h"

#ifdef KIV_BENCH_HAVE_KIV
#include "KivANSIAPI/KivANSIAPI.h"
#endif
#ifdef KIV_BENCH_HAVE_LTTNG
#include "bench/lttng/KivBenchTracepoint.h"
#endif
#ifdef KIV_BENCH_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

using namespace kivbench;

namespace {

constexpr size_t kTextLength = 64;
constexpr int kBatch = 64;  // calls between two clock readings

// Keeps the compiler from dropping work whose result is unused.
template <class T>
inline void Keep(T const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

struct Options {
  std::map<std::string, std::string> values;
  std::string Get(const std::string& key, const std::string& fallback = "") const {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
  long Number(const std::string& key, long fallback) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
  }
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument " + a);
    size_t eq = a.find('=');
    o.values[a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2)] =
        eq == std::string::npos ? "1" : a.substr(eq + 1);
  }
  return o;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// A 64-byte record text whose first characters carry `index` (so records
// differ, as real ones do) and a fixed tag the driver counts by.
struct RecordText {
  char text[kTextLength + 1];
  // `tag`: up to 20 characters at the start of the text.
  explicit RecordText(const char* tag = "rec ") {
    std::memset(text, 'x', kTextLength);
    text[kTextLength] = '\0';
    std::memcpy(text, tag, std::min<size_t>(std::strlen(tag), 20));
    std::memcpy(text + 20, " payload of a typical trace message....", 39);
  }
  void SetIndex(uint64_t index) {
    char* p = text + 4 + 15;
    for (int i = 0; i < 16; ++i, index /= 10) *p-- = static_cast<char>('0' + index % 10);
  }
};

// ---------------------------------------------------------------- tracers ---

// Counters of records written and dropped as the tracer itself reports them.
struct TracerCounts {
  uint64_t written = 0;
  uint64_t dropped = 0;
};

#ifdef KIV_BENCH_HAVE_KIV
struct KivHandles {
  int module = -1, offModule = -1, label = -1;
  static constexpr uint32_t kNoClient = 4294967295u;
};

KivHandles KivSetUp() {
  KivHandles h;
  if (KivGetModuleHandle(kBenchModule, &h.module) != 0 ||
      KivGetModuleHandle(kBenchOffModule, &h.offModule) != 0 || KivGetLabelHandle(kBenchLabel, &h.label) != 0)
    throw std::runtime_error("cannot get the module and label handles");
  return h;
}

TracerCounts KivCounts() {
  TracerCounts c;
  KivGetTraceStatistics(&c.written, &c.dropped);
  return c;
}

// Waits until the dispatcher has taken this process in: tracing answers
// enabled and a probe record reaches the ring.
void KivWaitRegistered(const KivHandles& h) {
  RecordText probe("probe ");
  for (int i = 0; i < 2000; ++i) {
    if (KivTraceEnabledEx(h.module, KivHandles::kNoClient, h.label) == 1) {
      uint64_t before = KivCounts().written;
      KivTraceText(h.module, KivHandles::kNoClient, h.label, probe.text, kTextLength);
      if (KivCounts().written > before) return;
    }
    SleepMs(10);
  }
  throw std::runtime_error("the process was not registered with the dispatcher within 20 s");
}
#endif

#ifdef KIV_BENCH_HAVE_SPDLOG
std::shared_ptr<spdlog::logger> SpdlogAsyncLogger(const std::string& logDir) {
  // Queue of 8192 messages and one worker thread: the library's defaults;
  // full queue blocks the caller (its default policy), so nothing is lost.
  spdlog::init_thread_pool(8192, 1);
  std::string file = logDir + "/spdlog-" + std::to_string(getpid()) + ".log";
  return spdlog::rotating_logger_mt<spdlog::async_factory>("bench", file, 100 * 1024 * 1024, 20);
}
#endif

// -------------------------------------------------------------- cost mode ---

// One shape of call: `call(i)` runs one trace call; `afterRound` runs
// untimed after every round (lets a consumer drain); counts are optional.
struct Shape {
  std::string name;
  std::function<void(uint64_t, RecordText&)> call;
  bool needsDrain = false;
};

struct ThreadSamples {
  std::vector<double> nsPerCall;
};

double TimerOverheadNs() {
  std::vector<double> s;
  for (int i = 0; i < 20000; ++i) {
    uint64_t t0 = NowNs();
    uint64_t t1 = NowNs();
    s.push_back(static_cast<double>(t1 - t0));
  }
  return Median(s);
}

void RunShapeThread(const Shape& shape, int rounds, int callsPerRound, int pauseMs, double overhead,
                    std::atomic<int>& startGate, int threads, ThreadSamples& out) {
  RecordText text;
  uint64_t index = 0;
  // Warm up (first call starts a tracer's threads, faults pages in).
  for (int i = 0; i < 1000; ++i) shape.call(index++, text);
  if (shape.needsDrain) SleepMs(pauseMs);
  startGate.fetch_add(1);
  while (startGate.load() < threads) {
  }
  // Shapes with nothing to drain run longer, so that threads overlap for
  // most of the measurement rather than for a fraction of a millisecond.
  if (!shape.needsDrain) rounds *= 8;
  int batches = callsPerRound / kBatch;
  out.nsPerCall.reserve(static_cast<size_t>(rounds * batches));
  for (int r = 0; r < rounds; ++r) {
    for (int b = 0; b < batches; ++b) {
      uint64_t t0 = NowNs();
      for (int i = 0; i < kBatch; ++i) shape.call(index++, text);
      uint64_t t1 = NowNs();
      out.nsPerCall.push_back((static_cast<double>(t1 - t0) - overhead) / kBatch);
    }
    if (shape.needsDrain) SleepMs(pauseMs);
  }
}

std::vector<Shape> FloorShapes() {
  static std::atomic<uint32_t> sharedCounter{0};
  static thread_local std::mutex threadMutex;
  static thread_local char copyTarget[kTextLength];
  auto mutex = [](uint64_t, RecordText&) {
    threadMutex.lock();
    threadMutex.unlock();
  };
  auto atomic = [](uint64_t, RecordText&) { Keep(sharedCounter.fetch_add(1)); };
  auto clock = [](uint64_t, RecordText&) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    Keep(ts);
  };
  auto copy = [](uint64_t, RecordText& t) {
    std::memcpy(copyTarget, t.text, kTextLength);
    Keep(copyTarget);
  };
  auto all = [=](uint64_t i, RecordText& t) {
    mutex(i, t);
    atomic(i, t);
    clock(i, t);
    copy(i, t);
  };
  return {{"floor_mutex", mutex},
          {"floor_atomic_add", atomic},
          {"floor_clock_gettime", clock},
          {"floor_copy64", copy},
          {"floor_all_four", all}};
}

int CostMode(const Options& o) {
  std::string tracer = o.Get("tracer");
  int threads = static_cast<int>(o.Number("threads", 1));
  int rounds = static_cast<int>(o.Number("rounds", 25));
  int calls = static_cast<int>(o.Number("calls", 2048));
  int pauseMs = static_cast<int>(o.Number("pause-ms", 100));
  std::vector<std::string> wanted = Split(o.Get("shapes"), ',');
  std::vector<Shape> shapes;
  std::function<TracerCounts()> counts = [] { return TracerCounts{}; };

  if (tracer == "floor") {
    shapes = FloorShapes();
#ifdef KIV_BENCH_HAVE_KIV
  } else if (tracer == "kiv") {
    static KivHandles h = KivSetUp();
    if (o.Get("registered") == "1") KivWaitRegistered(h);
    counts = KivCounts;
    auto text = [](uint64_t, RecordText& t) {
      KivTraceText(h.module, KivHandles::kNoClient, h.label, t.text, kTextLength);
    };
    shapes = {
        {"kiv_disabled",
         [](uint64_t, RecordText& t) {
           KivTraceText(h.offModule, KivHandles::kNoClient, h.label, t.text, kTextLength);
         }},
        {"kiv_no_dispatcher", text},
        {"kiv_text", text, true},
        {"kiv_format",
         [](uint64_t i, RecordText& t) {
           KivTrace(h.module, KivHandles::kNoClient, h.label, "%.49s value=%08d", t.text,
                    static_cast<int>(i));
         },
         true},
    };
#endif
#ifdef KIV_BENCH_HAVE_LTTNG
  } else if (tracer == "lttng") {
    auto call = [](uint64_t i, RecordText& t) {
      lttng_ust_tracepoint(kivbench, record, static_cast<int>(i), t.text, kTextLength);
    };
    shapes = {{"lttng_disabled", call}, {"lttng_enabled", call, true}};
    std::cout << "INFO lttng_enabled=" << (lttng_ust_tracepoint_enabled(kivbench, record) ? 1 : 0)
              << std::endl;
#endif
#ifdef KIV_BENCH_HAVE_SPDLOG
  } else if (tracer == "spdlog") {
    static std::shared_ptr<spdlog::logger> logger = SpdlogAsyncLogger(o.Get("log-dir", "/tmp"));
    static std::shared_ptr<spdlog::logger> off = [] {
      auto l = std::make_shared<spdlog::logger>("off", logger->sinks().begin(), logger->sinks().end());
      l->set_level(spdlog::level::off);
      return l;
    }();
    shapes = {{"spdlog_off", [](uint64_t i, RecordText& t) { off->info("{:.49} value={:08}", t.text, i); }},
              {"spdlog_async",
               [](uint64_t i, RecordText& t) { logger->info("{:.49} value={:08}", t.text, i); }, true}};
#endif
  } else {
    throw std::runtime_error("tracer not built in: " + tracer);
  }

  double overhead = TimerOverheadNs();
  std::cout << "INFO timer_overhead_ns=" << overhead << std::endl;
  for (const auto& shape : shapes) {
    if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), shape.name) == wanted.end()) continue;
    TracerCounts before = counts();
    std::atomic<int> gate{0};
    std::vector<ThreadSamples> samples(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back(RunShapeThread, std::cref(shape), rounds, calls, pauseMs, overhead, std::ref(gate),
                           threads, std::ref(samples[static_cast<size_t>(t)]));
    for (auto& w : workers) w.join();
    TracerCounts after = counts();
    std::vector<double> all;
    for (auto& s : samples) all.insert(all.end(), s.nsPerCall.begin(), s.nsPerCall.end());
    std::cout << "COST " << shape.name << " threads=" << threads << " median_ns=" << Median(all)
              << " p99_ns=" << Quantile(all, 0.99) << " calls=" << all.size() * kBatch
              << " written=" << after.written - before.written
              << " dropped=" << after.dropped - before.dropped << std::endl;
  }
#ifdef KIV_BENCH_HAVE_SPDLOG
  if (tracer == "spdlog") spdlog::shutdown();
#endif
  return 0;
}

// ------------------------------------------------------------ stream mode ---

bool WaitForGo() {
  std::string line;
  return static_cast<bool>(std::getline(std::cin, line));
}

int StreamMode(const Options& o) {
  std::string tracer = o.Get("tracer");
  uint64_t records = static_cast<uint64_t>(o.Number("records", 1000000));
  RecordText text;
  TracerCounts before, after;
  uint64_t start = 0, end = 0, closed = 0, retried = 0;

  if (false) {
#ifdef KIV_BENCH_HAVE_KIV
  } else if (tracer == "kiv") {
    KivHandles h = KivSetUp();
    KivWaitRegistered(h);
    std::cout << "READY" << std::endl;
    if (!WaitForGo()) return 1;
    // Lossless: a record that finds the ring full is offered again after a
    // short pause, as an application that must not lose records would do.
    bool lossless = o.Get("lossless") == "1";
    uint64_t retries = 0;
    before = KivCounts();
    start = NowNs();
    for (uint64_t i = 0; i < records; ++i) {
      text.SetIndex(i);
      while (KivTraceText(h.module, KivHandles::kNoClient, h.label, text.text, kTextLength) != 1 &&
             lossless) {
        ++retries;
        timespec pause{0, 20000};
        nanosleep(&pause, nullptr);
      }
    }
    end = closed = NowNs();
    after = KivCounts();
    retried = retries;
#endif
#ifdef KIV_BENCH_HAVE_LTTNG
  } else if (tracer == "lttng") {
    if (!lttng_ust_tracepoint_enabled(kivbench, record))
      throw std::runtime_error("the tracepoint is not enabled");
    std::cout << "READY" << std::endl;
    if (!WaitForGo()) return 1;
    start = NowNs();
    for (uint64_t i = 0; i < records; ++i) {
      text.SetIndex(i);
      lttng_ust_tracepoint(kivbench, record, static_cast<int>(i), text.text, kTextLength);
    }
    end = closed = NowNs();
    after.written = records;  // what was recorded is counted from the trace
#endif
#ifdef KIV_BENCH_HAVE_SPDLOG
  } else if (tracer == "spdlog") {
    auto logger = SpdlogAsyncLogger(o.Get("log-dir", "/tmp"));
    std::cout << "READY" << std::endl;
    if (!WaitForGo()) return 1;
    start = NowNs();
    for (uint64_t i = 0; i < records; ++i) {
      text.SetIndex(i);
      logger->info(std::string_view(text.text, kTextLength));
    }
    end = NowNs();
    after.dropped = spdlog::thread_pool()->overrun_counter();
    logger.reset();
    spdlog::shutdown();  // drains the queue, closes the files
    closed = NowNs();
    after.written = records - after.dropped;
#endif
  } else {
    throw std::runtime_error("tracer not built in: " + tracer);
  }
  std::cout << "RESULT start_ns=" << start << " end_ns=" << end << " closed_ns=" << closed
            << " written=" << after.written - before.written << " dropped=" << after.dropped - before.dropped
            << " retried=" << retried << std::endl;
  return 0;
}

// ----------------------------------------------------------- latency mode ---

#ifdef KIV_BENCH_HAVE_KIV
// Follows the files of a log directory as they grow and finds a text in the
// bytes added since the last look (a text split between two looks is found:
// the tail of the previous look is searched again).
class LogFollower {
 public:
  explicit LogFollower(std::string dir) : m_Dir(std::move(dir)) {}

  bool Find(const std::string& needle) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(m_Dir, ec)) {
      if (!e.is_regular_file()) continue;
      std::string path = e.path().string();
      File& f = m_Files[path];
      uint64_t size = FileSize(path);
      if (size <= f.offset) continue;
      FILE* in = std::fopen(path.c_str(), "rb");
      if (!in) continue;
      std::fseek(in, static_cast<long>(f.offset), SEEK_SET);
      std::string chunk = f.tail;
      size_t want = static_cast<size_t>(size - f.offset);
      size_t old = chunk.size();
      chunk.resize(old + want);
      size_t got = std::fread(chunk.data() + old, 1, want, in);
      std::fclose(in);
      chunk.resize(old + got);
      f.offset += got;
      bool found = memmem(chunk.data(), chunk.size(), needle.data(), needle.size()) != nullptr;
      size_t keep = std::min(chunk.size(), size_t{kTextLength});
      f.tail = chunk.substr(chunk.size() - keep);
      if (found) return true;
    }
    return false;
  }
  // Marks everything present as seen.
  void SkipExisting() { Find(std::string(1, '\x01') + "never-present"); }

 private:
  struct File {
    uint64_t offset = 0;
    std::string tail;
  };
  std::string m_Dir;
  std::map<std::string, File> m_Files;
};

int LatencyMode(const Options& o) {
  int samples = static_cast<int>(o.Number("samples", 20));
  int intervalMs = static_cast<int>(o.Number("interval-ms", 250));
  long busyRate = o.Number("busy-rate", 0);
  std::string logDir = o.Get("log-dir");
  KivHandles h = KivSetUp();
  KivWaitRegistered(h);

  std::atomic<bool> stop{false};
  std::thread busy;
  if (busyRate > 0) {
    // Writes busyRate records per second in bursts every millisecond.
    busy = std::thread([&] {
      RecordText text;
      uint64_t i = 0, next = NowNs();
      long perMs = std::max(1L, busyRate / 1000);
      while (!stop.load()) {
        for (long k = 0; k < perMs; ++k) {
          text.SetIndex(i++);
          KivTraceText(h.module, KivHandles::kNoClient, h.label, text.text, kTextLength);
        }
        next += 1000000;
        uint64_t now = NowNs();
        if (next > now) {
          timespec ts{0, static_cast<long>(next - now)};
          nanosleep(&ts, nullptr);
        }
      }
    });
  }
  LogFollower follower(logDir);
  SleepMs(500);
  follower.SkipExisting();
  std::mt19937 random(static_cast<unsigned>(getpid()));
  std::vector<double> latencies;
  int missing = 0;
  uint64_t refusedMarkers = 0;
  for (int k = 0; k < samples; ++k) {
    SleepMs(intervalMs + static_cast<int>(random() % 100));
    char marker[kTextLength + 1];
    // At most 20 characters: RecordText keeps only that much of a tag.
    std::snprintf(marker, sizeof marker, "LAT%d-%d-", static_cast<int>(getpid()), k);
    std::string needle = marker;
    RecordText text(marker);
    // A marker refused by a full ring is offered again: its latency counts
    // from the first offer, as an application that keeps its records sees it.
    uint64_t t0 = NowNs();
    while (KivTraceText(h.module, KivHandles::kNoClient, h.label, text.text, kTextLength) != 1 &&
           NowNs() - t0 < 5000000000ull) {
      ++refusedMarkers;
      timespec pause{0, 20000};
      nanosleep(&pause, nullptr);
    }
    bool found = false;
    uint64_t t1 = t0;
    while (NowNs() - t0 < 5000000000ull) {
      if (follower.Find(needle)) {
        t1 = NowNs();
        found = true;
        break;
      }
      timespec ts{0, 200000};
      nanosleep(&ts, nullptr);
    }
    if (!found) {
      ++missing;
      continue;
    }
    latencies.push_back(static_cast<double>(t1 - t0) / 1e6);
    std::cout << "LATENCY ms=" << latencies.back() << std::endl;
  }
  stop.store(true);
  if (busy.joinable()) busy.join();
  TracerCounts c = KivCounts();
  std::cout << "RESULT median_ms=" << Median(latencies) << " p90_ms=" << Quantile(latencies, 0.9)
            << " max_ms=" << Quantile(latencies, 1.0) << " found=" << latencies.size()
            << " missing=" << missing << " written=" << c.written << " dropped=" << c.dropped << std::endl;
  return 0;
}

#endif

// The floor an idle client is measured against: the same period and the same
// liveness check as a client's monitor, nothing else.
int WakerMode(const Options&) {
  const int parent = static_cast<int>(syscall(SYS_pidfd_open, getppid(), 0));
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread waker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, std::chrono::milliseconds(100), [&] { return stop; })) {
      pollfd watched{parent, POLLIN, 0};
      if (parent >= 0) poll(&watched, 1, 0);
    }
  });
  std::cout << "READY" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  wake.notify_all();
  waker.join();
  if (parent >= 0) close(parent);
  return 0;
}

#ifdef KIV_BENCH_HAVE_KIV
int IdleMode(const Options&) {
  KivHandles h = KivSetUp();
  KivWaitRegistered(h);
  RecordText text;
  for (int i = 0; i < 10; ++i) KivTraceText(h.module, KivHandles::kNoClient, h.label, text.text, kTextLength);
  std::cout << "READY" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: BenchWriter cost|stream|latency|idle --tracer=... (see the source)\n";
    return 2;
  }
  try {
    std::string mode = argv[1];
    Options o = ParseOptions(argc, argv);
    if (mode == "cost") return CostMode(o);
    if (mode == "stream") return StreamMode(o);
    if (mode == "waker") return WakerMode(o);
#ifdef KIV_BENCH_HAVE_KIV
    if (mode == "latency") return LatencyMode(o);
    if (mode == "idle") return IdleMode(o);
#endif
    std::cerr << "BenchWriter: mode not built in: " << mode << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "BenchWriter: " << e.what() << "\n";
    std::cout << "ERROR " << e.what() << std::endl;
    return 1;
  }
}
