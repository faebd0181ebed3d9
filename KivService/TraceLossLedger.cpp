#include "KivService/TraceLossLedger.h"

#include <time.h>

#include <cstring>

#include "KivService/ClientLossCounters.h"
#include "Support/AutoSync.h"
#include "Support/Logging.h"
#include "Support/SysLogEntry.h"
#include "TraceData/TraceRecordBuilder.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

namespace {
uint32_t Word(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
}  // namespace

TraceLossLedger::TraceLossLedger(StatusReport::Collector& collector)
    : m_RecordsWrittenStatus(collector, "Totals\\RecordsWritten", "Records written to the output",
                             StatusReport::Text, true, "0"),
      m_BlocksWrittenStatus(collector, "Totals\\BlocksWritten", "Blocks written to the output",
                            StatusReport::Text, true, "0"),
      m_LostStatus{{collector, "Totals\\LostClientRingFull", "Records lost in full client rings",
                    StatusReport::Text, true, "0"},
                   {collector, "Totals\\LostOutputFailure", "Records lost to output failures",
                    StatusReport::Text, true, "0"},
                   {collector, "Totals\\LostDamagedRing", "Records lost in damaged client rings",
                    StatusReport::Text, true, "0"}},
      m_OutputErrorsStatus(collector, "Totals\\OutputErrors", "Number of failed output writes",
                           StatusReport::Text, true, "0"),
      m_LastErrorStatus(collector, "Totals\\LastOutputError", "Last output error", StatusReport::Text, true,
                        "none"),
      m_LastErrorTimeStatus(collector, "Totals\\LastOutputErrorTime", "Time of the last output error",
                            StatusReport::Text, true, "none") {}

void TraceLossLedger::Lost(const std::string& output, uint32_t pid, uint64_t records, Cause cause) {
  if (records == 0) return;
  Guard guard(m_Lock);
  m_Pending[{output, pid}] += records;
  m_Lost[cause] += records;
  m_LostStatus[cause].SetText(std::to_string(m_Lost[cause]));
}

void TraceLossLedger::Written(uint64_t records) {
  Guard guard(m_Lock);
  m_RecordsWritten += records;
  ++m_BlocksWritten;
  m_RecordsWrittenStatus.SetText(std::to_string(m_RecordsWritten));
  m_BlocksWrittenStatus.SetText(std::to_string(m_BlocksWritten));
}

void TraceLossLedger::OutputFailed(const std::string& output, std::string_view error) {
  Guard guard(m_Lock);
  ++m_OutputErrors;
  m_OutputErrorsStatus.SetText(std::to_string(m_OutputErrors));
  m_LastErrorStatus.SetText(error);
  char when[64] = "unknown";
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local)) strftime(when, sizeof when, "%m/%d/%Y %H:%M:%S", &local);
  m_LastErrorTimeStatus.SetText(when);
  bool& failing = m_Failing[output];
  if (!failing) {
    // Once per run of failures: a dead disk must not flood the system log.
    SysLogEntry entry(kSystemLogIdentity, 1);
    entry << "Trace output " << output << " failed, records are lost until it works again: " << error;
    KIV_DIAG_NOTHROW(entry.str() << "\n");
  }
  failing = true;
}

void TraceLossLedger::OutputSucceeded(const std::string& output) {
  Guard guard(m_Lock);
  auto found = m_Failing.find(output);
  if (found == m_Failing.end() || !found->second) return;
  found->second = false;
  SysLogEntry entry(kSystemLogIdentity, 2);
  entry << "Trace output " << output << " works again";
  KIV_DIAG_NOTHROW(entry.str() << "\n");
}

TraceLossLedger::Pending TraceLossLedger::TakePending(const std::string& output) {
  Guard guard(m_Lock);
  Pending taken;
  for (auto it = m_Pending.lower_bound({output, 0}); it != m_Pending.end() && it->first.first == output;) {
    taken.emplace_back(it->first.second, it->second);
    it = m_Pending.erase(it);
  }
  return taken;
}

void TraceLossLedger::Restore(const std::string& output, const Pending& pending) {
  Guard guard(m_Lock);
  for (const auto& [pid, records] : pending) m_Pending[{output, pid}] += records;
}

uint32_t TraceLossLedger::BlockProcessId(const void* block, uint32_t length) {
  // The TraceBlockHeader follows the packet's 7 bytes; its pid after the host name.
  constexpr uint32_t kAt = 7 + TraceBlockHeader::kHostNameSize;
  if (length < TraceRecordBuilder::kBlockHeaderPacketSize) return 0;
  return Word(static_cast<const uint8_t*>(block) + kAt);
}

uint64_t TraceLossLedger::CountRecords(const void* block, uint32_t length) {
  constexpr uint32_t kHeader = TraceRecordBuilder::kBlockHeaderPacketSize;
  uint64_t records = 0;
  if (length > kHeader)
    ClientLossCounters::WholeRecordsEnd(static_cast<const uint8_t*>(block) + kHeader, length - kHeader,
                                        records);
  return records;
}
