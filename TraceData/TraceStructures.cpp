#include "TraceData/TraceStructures.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

TraceTimestamp TraceTimestamp::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
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
