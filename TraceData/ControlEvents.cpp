#include "TraceData/ControlEvents.h"

#include "TraceData/TraceStructures.h"

namespace {

struct ControlEvent {
  const char* m_Text;
  const char* m_Name;
};

const ControlEvent* Find(uint32_t code) {
  using namespace TracePacketShared;
  // The texts are kept exactly as log readers have always seen them.
  static constexpr ControlEvent kEvents[] = {
      {"Client attached", "client_attached"},
      {"Client detached", "client_detached"},
      {"Pauseed tracing", "tracing_paused"},
      {"Resumeed tracing", "tracing_resumed"},
      {"Reloaded configuration", "configuration_reloaded"},
      {"Turned on preservation", "preservation_on"},
      {"Turned off preservation", "preservation_off"},
      {"", "records_lost"},
  };
  static_assert(sizeof(kEvents) / sizeof(kEvents[0]) == RecordsLost - ClientAttached + 1);
  if (code < ClientAttached || code > RecordsLost) return nullptr;
  return &kEvents[code - ClientAttached];
}

}  // namespace

const char* ControlEventText(uint32_t code) {
  const ControlEvent* event = Find(code);
  return event ? event->m_Text : nullptr;
}

const char* ControlEventName(uint32_t code) {
  const ControlEvent* event = Find(code);
  return event ? event->m_Name : nullptr;
}

std::string RecordsLostText(uint64_t count) { return std::to_string(count) + " records lost "; }

uint64_t RecordsLostCount(std::string_view message) {
  uint64_t count = 0;
  for (char c : message) {
    if (c < '0' || c > '9') break;
    count = count * 10 + static_cast<uint64_t>(c - '0');
  }
  return count;
}
