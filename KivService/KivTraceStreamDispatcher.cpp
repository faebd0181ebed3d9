#include "KivService/KivTraceStreamDispatcher.h"

#include <exception>
#include <new>
#include <vector>

#include "KivService/FileStream.h"
#include "KivService/NetworkStream.h"
#include "KivService/SyslogOutput.h"
#include "Support/AutoSync.h"
#include "Support/Logging.h"
#include "Support/MappedAccess.h"
#include "Support/Validation2Exception.h"
#include "TraceData/ControlEvents.h"
#include "TraceData/TraceRecord.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

ConfigServer* KivTraceStreamDispatcher::s_Server = nullptr;
TraceLossLedger* KivTraceStreamDispatcher::s_Ledger = nullptr;
KivRecordSequenceGenerator* KivTraceStreamDispatcher::s_Sequence = nullptr;

KivTraceStreamDispatcher::KivTraceStreamDispatcher(ConfigServer& server, StatusReport::Collector& collector,
                                                   std::string name, bool connect)
    : ConfigServer::Client(server, false), m_Name(std::move(name)), m_Collector(collector) {
  // No other thread knows this object yet, so the lock is not needed. A
  // stream that cannot be built must not stop writers from being made: they
  // drop their blocks until the next change rebuilds it.
  try {
    ProcessConfig();
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("Trace stream dispatcher " << m_Name << ": " << e.what() << "\n");
  } catch (...) {
    KIV_DIAG_NOTHROW("Trace stream dispatcher " << m_Name << ": no output\n");
  }
  if (connect) Connect();
}

KivTraceStreamDispatcher::~KivTraceStreamDispatcher() {
  Disconnect();
  try {
    Guard guard(m_Lock);
    m_Stream.reset();
  } catch (...) {
  }
}

void KivTraceStreamDispatcher::OnConfigChanged() {
  Guard guard(m_Lock);
  ProcessConfig();
}

void KivTraceStreamDispatcher::ProcessConfig() {
  const KivServerConfig& config = Server()->Config();
  m_TraceEnabled = config.m_TraceEnabled;
  if (config.m_NetworkMode == NetworkClient)
    m_OutputKind = Network;
  else if (config.m_LogFormat == "json")
    m_OutputKind = JsonFiles;
  else
    m_OutputKind = config.m_LogFormat == "text" ? TextFiles : BinaryFiles;
  Manage();
}

void KivTraceStreamDispatcher::Manage() {
  // Always closed first: a rebuild means a new file or a new connection,
  // even when nothing that matters to the output has changed.
  m_Stream.reset();
  m_RenderKind.store(BinaryFiles, std::memory_order_relaxed);
  if (!m_TraceEnabled || m_Paused) return;
  const KivServerConfig& config = Server()->Config();
  try {
    if (m_OutputKind == Network)
      m_Stream = std::make_unique<NetworkStream>(m_Collector, config, m_Name);
    else
      m_Stream = MakeFileStream(m_Collector, config, m_Name, config.m_LogFormat);
  } catch (const std::bad_alloc&) {
    Validation2Exception::CheckMemoryAllocation(false, "Can not create file stream");
  }
  // Only a hint for writers: the stream checks what it is handed.
  m_RenderKind.store(m_OutputKind, std::memory_order_relaxed);
}

namespace {
// The pieces of a block one after the other; a piece that cannot be read
// (a mapping cut short) raises SourceFault.
void Gather(const iovec* pieces, int count, std::vector<uint8_t>& whole) {
  size_t length = 0;
  for (int i = 0; i < count; ++i) length += pieces[i].iov_len;
  whole.resize(length);
  size_t at = 0;
  for (int i = 0; i < count; ++i) {
    if (!MappedAccess::Copy(whole.data() + at, pieces[i].iov_base, pieces[i].iov_len))
      throw KivTraceStreamDispatcher::SourceFault("Block data could not be read");
    at += pieces[i].iov_len;
  }
}
}  // namespace

void KivTraceStreamDispatcher::Stream::WriteGathered(const iovec* pieces, int count) {
  std::vector<uint8_t> whole;
  Gather(pieces, count, whole);
  write(whole.data(), static_cast<uint32_t>(whole.size()));
}

bool KivTraceStreamDispatcher::write(const void* block, uint32_t length,
                                     RotatingFileOutput::AppendObserver* observer, RenderedBlock* rendered,
                                     uint64_t records) noexcept {
  // Outside the lock: the work that depends on nothing but the block.
  if (rendered) rendered->Render(m_RenderKind.load(std::memory_order_relaxed), block, length);
  if (records == kCountRecords) records = TraceLossLedger::CountRecords(block, length);
  const iovec piece{const_cast<void*>(block), length};
  return Deliver(&piece, 1, records, observer, rendered) == Outcome::Written;
}

KivTraceStreamDispatcher::Outcome KivTraceStreamDispatcher::WriteGathered(
    const iovec* pieces, int count, uint64_t records, RotatingFileOutput::AppendObserver* observer) noexcept {
  return Deliver(pieces, count, records, observer, nullptr);
}

bool KivTraceStreamDispatcher::TakesPieces() const {
  const SyslogOutput* syslog = SyslogOutput::Current();
  return m_RenderKind.load(std::memory_order_relaxed) == BinaryFiles && !(syslog && syslog->IsOn());
}

KivTraceStreamDispatcher::Outcome KivTraceStreamDispatcher::Deliver(
    const iovec* pieces, int count, uint64_t records, RotatingFileOutput::AppendObserver* observer,
    RenderedBlock* rendered) noexcept {
  std::string error = "unknown failure";
  // The header packet leads the first piece.
  const void* header = pieces[0].iov_base;
  const auto headerLength = static_cast<uint32_t>(pieces[0].iov_len);
  try {
    Guard guard(m_Lock);
    TraceLossLedger* ledger = s_Ledger;
    try {
      if (!m_Stream) {
        // Paused or switched off by the operator: dropped on purpose, no loss.
        if (ledger && m_TraceEnabled && !m_Paused)
          ledger->Lost(m_Name, TraceLossLedger::BlockProcessId(header, headerLength), records,
                       TraceLossLedger::OutputFailure);
        return Outcome::Written;
      }
      if (ledger) WritePendingLosses();
      // The syslog copy is taken first: a block the local output refuses
      // (damaged past its header) still has its readable records sent.
      std::vector<uint8_t> whole;
      if (SyslogOutput* syslog = SyslogOutput::Current(); syslog && syslog->IsOn()) {
        if (count > 1) {
          Gather(pieces, count, whole);
          pieces = nullptr;
        }
        const void* block = pieces ? header : whole.data();
        syslog->Offer(SyslogOrigin(), block, pieces ? headerLength : static_cast<uint32_t>(whole.size()));
      }
      {
        RotatingFileOutput::ObserverScope scope(observer);
        if (!pieces)
          m_Stream->write(whole.data(), static_cast<uint32_t>(whole.size()));
        else if (count > 1)
          m_Stream->WriteGathered(pieces, count);
        else if (rendered)
          m_Stream->WriteRendered(header, headerLength, *rendered);
        else
          m_Stream->write(header, headerLength);
      }
      if (ledger) {
        ledger->Written(records);
        ledger->OutputSucceeded(m_Name);
      }
      return Outcome::Written;
    } catch (const SourceFault&) {
      return Outcome::SourceFaulted;
    } catch (const std::exception& e) {
      error = e.what();
    } catch (...) {
    }
    if (ledger) {
      ledger->Lost(m_Name, TraceLossLedger::BlockProcessId(header, headerLength), records,
                   TraceLossLedger::OutputFailure);
      ledger->OutputFailed(m_Name, error);
    }
  } catch (...) {
  }
  KIV_DIAG_NOTHROW("Trace stream dispatcher " << m_Name << ": block lost: " << error << "\n");
  return Outcome::OutputFailed;
}

void KivTraceStreamDispatcher::ReportLost(uint32_t pid, uint64_t records, int cause,
                                          RotatingFileOutput::AppendObserver* observer) noexcept {
  try {
    Guard guard(m_Lock);
    TraceLossLedger* ledger = s_Ledger;
    if (!ledger || records == 0) return;
    ledger->Lost(m_Name, pid, records, static_cast<TraceLossLedger::Cause>(cause));
    if (!m_Stream) return;
    try {
      WritePendingLosses(pid, observer);
    } catch (const std::exception& e) {
      ledger->OutputFailed(m_Name, e.what());
    }
  } catch (...) {
  }
}

void KivTraceStreamDispatcher::WritePendingLosses(uint32_t observedPid,
                                                  RotatingFileOutput::AppendObserver* observer) {
  TraceLossLedger::Pending pending = s_Ledger->TakePending(m_Name);
  // A destination over the current stream, for the block builder.
  struct Out {
    Stream* stream;
    void write(const void* data, uint32_t length) { stream->write(data, length); }
  } out{m_Stream.get()};
  for (size_t i = 0; i < pending.size(); ++i) {
    try {
      TraceRecord<256> record(s_Sequence ? s_Sequence->Next() : 0);
      AddControlFields(record, TraceTimestamp::Now(), TracePacketShared::RecordsLost, pending[i].first,
                       RecordsLostText(pending[i].second));
      RotatingFileOutput::ObserverScope scope(pending[i].first == observedPid ? observer : nullptr);
      TraceBlock<Out, 256> block(out, 0);
      record >> block;
      s_Ledger->Written(1);
    } catch (...) {
      s_Ledger->Restore(m_Name,
                        TraceLossLedger::Pending(pending.begin() + static_cast<long>(i), pending.end()));
      throw;
    }
  }
}

void KivTraceStreamDispatcher::SetPaused(bool paused) {
  Guard guard(m_Lock);
  m_Paused = paused;
  Manage();
}

void KivTraceStreamDispatcher::Pause() { SetPaused(true); }
void KivTraceStreamDispatcher::Resume() { SetPaused(false); }

bool KivTraceStreamDispatcher::IsPaused() {
  Guard guard(m_Lock);
  return m_Paused;
}

bool KivTraceStreamDispatcher::IsTraceEnabled() {
  Guard guard(m_Lock);
  return m_TraceEnabled;
}

KivTraceStreamDispatcher::OutputKind KivTraceStreamDispatcher::CurrentOutputKind() {
  Guard guard(m_Lock);
  return m_OutputKind;
}

bool KivTraceStreamDispatcher::HasStream() {
  Guard guard(m_Lock);
  return m_Stream != nullptr;
}

std::string_view KivTraceStreamDispatcher::SyslogOrigin() const {
  // Blocks of local clients carry their host name; a network peer's blocks
  // are reported under the peer's address, whatever they carry.
  return m_Name == "LOCAL" ? std::string_view() : std::string_view(m_Name);
}
