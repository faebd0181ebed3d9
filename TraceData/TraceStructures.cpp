#include "TraceData/TraceStructures.h"

#include <time.h>
#include <unistd.h>

#include <cstring>

TraceTimestamp TraceTimestamp::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  TraceTimestamp t;
  t.m_Seconds = static_cast<uint32_t>(now.tv_sec);
  t.m_Milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  tm local{};
  const time_t seconds = now.tv_sec;
  if (localtime_r(&seconds, &local) != nullptr) {
    t.m_TimeZone = static_cast<int16_t>(-local.tm_gmtoff / 60);
    t.m_DstFlag = static_cast<int16_t>(local.tm_isdst > 0 ? 1 : 0);
  }
  return t;
}

TraceBlockHeader::TraceBlockHeader(uint32_t bodyLength, uint32_t processId)
    : m_ProcessId(processId != 0 ? processId : static_cast<uint32_t>(getpid())), m_BodyLength(bodyLength) {
  // gethostname may leave the name unterminated when it is cut, and on
  // failure the field stays empty: the block is still worth writing.
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) == 0) {
    std::memcpy(m_HostName, name, strnlen(name, kHostNameSize - 1));
  }
}
