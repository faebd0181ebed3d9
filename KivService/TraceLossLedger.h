#pragma once
// What became of the records the dispatcher took: totals of records and
// blocks written, records lost by cause, output errors; and the losses not
// yet told in the log, per output and process, until a block reaches that
// output again (KivTraceStreamDispatcher writes a "records lost" control
// record for each before the block).
//
// One ledger per dispatcher process, owned by the server manager and reached
// by the dispatchers through KivTraceStreamDispatcher::s_Ledger; it outlives
// every dispatcher, so losses told by an output that closes meanwhile (the
// last client left) are still written by its successor. Its totals are
// trailing status entries: reported after every standard entry.
//
// Locking: m_Lock guards the pending losses and the error state; callers may
// hold a dispatcher's lock (lock order: dispatcher, ledger, status entry).

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KivService/StatusReport.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/ThreadAnnotations.h"

class TraceLossLedger {
 public:
  enum Cause { ClientRingFull, OutputFailure, DamagedRing };
  using Pending = std::vector<std::pair<uint32_t, uint64_t>>;  // process id, records

  explicit TraceLossLedger(StatusReport::Collector& collector);

  // `records` of process `pid` will not reach output `output`: counted under
  // `cause` and kept to be told there.
  void Lost(const std::string& output, uint32_t pid, uint64_t records, Cause cause);
  // A block of `records` records reached an output.
  void Written(uint64_t records);
  // An output failed with `error`. The first failure after a success goes to
  // the system log; so does the first success after failures.
  void OutputFailed(const std::string& output, std::string_view error);
  void OutputSucceeded(const std::string& output);

  // The losses still to be told in `output`, removed from the ledger;
  // Restore() puts back what could not be written after all.
  Pending TakePending(const std::string& output);
  void Restore(const std::string& output, const Pending& pending);

  // Records and blocks in a trace block (header packet and whole records);
  // the process id of its header. A body that does not parse counts the
  // records before the damage.
  static uint64_t CountRecords(const void* block, uint32_t length);
  static uint32_t BlockProcessId(const void* block, uint32_t length);

 private:
  CriticalSectionSyncPolicy m_Lock;
  std::map<std::pair<std::string, uint32_t>, uint64_t> m_Pending GUARDED_BY(m_Lock);
  uint64_t m_RecordsWritten GUARDED_BY(m_Lock) = 0;
  uint64_t m_BlocksWritten GUARDED_BY(m_Lock) = 0;
  uint64_t m_Lost[3] GUARDED_BY(m_Lock) = {0, 0, 0};
  uint64_t m_OutputErrors GUARDED_BY(m_Lock) = 0;
  std::map<std::string, bool> m_Failing GUARDED_BY(m_Lock);  // outputs whose latest write failed

  StatusReport::Status m_RecordsWrittenStatus;
  StatusReport::Status m_BlocksWrittenStatus;
  StatusReport::Status m_LostStatus[3];
  StatusReport::Status m_OutputErrorsStatus;
  StatusReport::Status m_LastErrorStatus;
  StatusReport::Status m_LastErrorTimeStatus;
};
