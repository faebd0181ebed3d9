// The record filter's readers of operator input (-since/-until times, -pid
// and -tid ids) over arbitrary text. Every input either gives a value or is
// refused with std::invalid_argument; nothing else may escape, and a value
// read must select consistently.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "TraceData/RecordFilter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  constexpr uint64_t kNow = 1767261600000ull;
  DecodedRecord record;
  record.m_HasTimestamp = true;
  record.m_Timestamp.m_Seconds = static_cast<uint32_t>(kNow / 1000);
  try {
    const uint64_t time = ParseFilterTime(text, kNow);
    RecordFilter filter;
    filter.m_Since = time;
    filter.m_Until = time;
    // A record exactly at the time read passes a range of that one instant.
    record.m_Timestamp.m_Seconds = static_cast<uint32_t>(time / 1000);
    record.m_Timestamp.m_Milliseconds = static_cast<uint16_t>(time % 1000);
    if (time / 1000 <= UINT32_MAX && !filter.Matches(record)) std::abort();
  } catch (const std::invalid_argument&) {
  }
  try {
    RecordFilter filter;
    filter.m_ProcessIds.insert(ParseFilterId(text));
    record.m_ProcessId = *filter.m_ProcessIds.begin();
    if (!filter.Matches(record)) std::abort();
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
