#include "TraceData/TraceStructures.h"

#include <time.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

namespace {

int64_t ReadWallClockNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

#if defined(__x86_64__)
// A record carries milliseconds, and reading the wall clock was a fifth of
// a trace call. Each thread reads it at most kReadEveryNs apart and counts
// the time in between with the processor's time-stamp counter, scaled by
// what one thread measured over kCalibrationNs. However wrong the counter
// (another processor's, a changed rate), a time is off by less than
// kReadEveryNs: a counter that went back or too far makes a fresh read.
constexpr int64_t kReadEveryNs = 200000;
constexpr int64_t kCalibrationNs = 20000000;

// Nanoseconds per counter tick, 32.32 fixed point; 0 until measured.
std::atomic<uint64_t> g_NsPerTick{0};
// kReadEveryNs in ticks, published before g_NsPerTick.
std::atomic<uint64_t> g_ReadEveryTicks{0};

struct ThreadClock {
  uint64_t baseTicks = 0;  // counter at the last read of the wall clock, 0 = none
  int64_t baseNs = 0;
  uint64_t firstTicks = 0;  // this thread's first read, while nothing is measured
  int64_t firstNs = 0;
};
__attribute__((tls_model("initial-exec"))) thread_local ThreadClock t_Clock;

[[gnu::noinline]] int64_t ReadAndRebase(uint64_t ticks) {
  ThreadClock& c = t_Clock;
  const int64_t ns = ReadWallClockNs();
  c.baseTicks = ticks;
  c.baseNs = ns;
  if (g_NsPerTick.load(std::memory_order_relaxed) == 0) {
    if (c.firstTicks == 0 || ticks <= c.firstTicks || ns <= c.firstNs) {
      c.firstTicks = ticks;
      c.firstNs = ns;
    } else if (ns - c.firstNs >= kCalibrationNs) {
      const double nsPerTick =
          static_cast<double>(ns - c.firstNs) / static_cast<double>(ticks - c.firstTicks);
      // A wall clock set meanwhile gives a rate no processor has: measured again.
      if (nsPerTick > 0.01 && nsPerTick < 100) {
        g_ReadEveryTicks.store(static_cast<uint64_t>(kReadEveryNs / nsPerTick), std::memory_order_relaxed);
        g_NsPerTick.store(static_cast<uint64_t>(nsPerTick * 4294967296.0), std::memory_order_release);
      } else {
        c.firstTicks = ticks;
        c.firstNs = ns;
      }
    }
  }
  return ns;
}

int64_t NowNs() {
  const uint64_t ticks = __rdtsc();
  const uint64_t nsPerTick = g_NsPerTick.load(std::memory_order_acquire);
  const ThreadClock& c = t_Clock;
  const uint64_t elapsed = ticks - c.baseTicks;
  if (nsPerTick == 0 || c.baseTicks == 0 || elapsed >= g_ReadEveryTicks.load(std::memory_order_relaxed))
    return ReadAndRebase(ticks);
  return c.baseNs + static_cast<int64_t>((elapsed * nsPerTick) >> 32);
}
#else
int64_t NowNs() { return ReadWallClockNs(); }
#endif

}  // namespace

TraceTimestamp TraceTimestamp::Now() {
  const int64_t ns = NowNs();
  timespec now{};
  now.tv_sec = static_cast<time_t>(ns / 1000000000);
  now.tv_nsec = static_cast<long>(ns % 1000000000);
  TraceTimestamp t;
  t.m_Seconds = static_cast<uint32_t>(now.tv_sec);
  t.m_Milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  // The zone fields change at most with the second; converting every
  // record's time to local time would dominate the cost of a trace call.
  // Initial-exec: read on every record, without a call to find the block.
  __attribute__((tls_model("initial-exec"))) thread_local time_t s_ZoneSecond = -1;
  __attribute__((tls_model("initial-exec"))) thread_local int16_t s_TimeZone = 0, s_DstFlag = 0;
  if (now.tv_sec != s_ZoneSecond) {
    tm local{};
    const time_t seconds = now.tv_sec;
    if (localtime_r(&seconds, &local) != nullptr) {
      s_TimeZone = static_cast<int16_t>(-local.tm_gmtoff / 60);
      s_DstFlag = static_cast<int16_t>(local.tm_isdst > 0 ? 1 : 0);
      s_ZoneSecond = now.tv_sec;
    }
  }
  t.m_TimeZone = s_TimeZone;
  t.m_DstFlag = s_DstFlag;
  return t;
}

TraceBlockHeader::TraceBlockHeader(uint32_t bodyLength, uint32_t processId)
    : m_ProcessId(processId != 0 ? processId : static_cast<uint32_t>(getpid())), m_BodyLength(bodyLength) {
  // gethostname may leave the name unterminated when it is cut, and on
  // failure the field stays empty: the block is still worth writing.
  // Looked up once per process: every block carries it, and the lookup is
  // a system call.
  static const std::string s_HostName = [] {
    char name[256] = {};
    return gethostname(name, sizeof(name) - 1) == 0 ? std::string(name) : std::string();
  }();
  std::memcpy(m_HostName, s_HostName.data(), std::min<size_t>(s_HostName.size(), kHostNameSize - 1));
}
