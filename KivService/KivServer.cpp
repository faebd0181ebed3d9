#include "KivService/KivServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "KivService/ClientLossCounters.h"
#include "KivService/KivServerControlRecord.h"
#include "Support/ConfigPath.h"
#include "Support/Logging.h"
#include "Support/MappedAccess.h"
#include "Support/Validation2Exception.h"
#include "TraceData/TraceRecordBuilder.h"
#include "TraceData/TraceStructures.h"
#include "TraceService/MessageBufferNames.h"
#include "TraceService/Messages.h"

namespace {
// The client made its rings; a missing file or one of another size is
// refused before it is mapped, so the dispatcher never lays a ring over a
// region it does not fit.
void CheckRingFile(const std::string& name, uint32_t size) {
  struct stat st {};
  Validation2Exception::CheckOSCall(::stat(SharedMemory::FilePath(name).c_str(), &st) == 0,
                                    "Client ring file does not exist");
  Validation2Exception::CheckLogic(S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(size),
                                   "Client ring file has the wrong size");
}

std::string CheckedTraceRingName(uint32_t pid) {
  Validation2Exception::CheckParameter(pid != 0, "Client process id 0");
  std::string name = KivMessageBuffers::TraceBufferName(pid);
  CheckRingFile(name, KivMessageBuffers::TraceRingFileSize);
  return name;
}

uint32_t CheckedMessageRingPid(uint32_t pid) {
  CheckRingFile(KivMessageBuffers::ClientMessageBufferName(pid), KivMessageBuffers::MessageRingFileSize);
  return pid;
}

// The file may have changed between the check and the mapping; the
// mapping's own length decides.
uint32_t CheckedTraceRingLength(const SharedMemory& memory) {
  Validation2Exception::CheckLogic(memory.Length() == KivMessageBuffers::TraceRingFileSize,
                                   "Client ring file has the wrong size");
  return memory.Length();
}
}  // namespace

bool KivServer::CheckTraceRingHeader() {
  Validation2Exception::CheckLogic(IsTraceRingUsable(), "Client trace ring has a damaged header");
  return true;
}

template <class F>
bool KivServer::OnTraceRing(F&& access) {
  if (m_TraceRingLost.load(std::memory_order_acquire)) return false;
  // A file shorter than the mapping would fault on access; checked first
  // so that a truncation is found without the fault in the common case.
  if (m_TraceMemory.IsIntact() && MappedAccess::Run(access)) return true;
  KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " found its trace ring truncated.\n");
  m_TraceRingLost.store(true, std::memory_order_release);
  MarkGone();
  return false;
}

bool KivServer::IsTraceRingUsable() {
  bool valid = false;
  return OnTraceRing([&] { valid = m_TraceRing.IsHeaderValid(); }) && valid;
}

KivServer::KivServer(KivRecordSequenceGenerator& sequence, uint32_t pid)
    : m_Sequence(sequence),
      m_Pid(pid),
      m_Process(pid),
      m_TraceMemory(CheckedTraceRingName(pid), ClientMessageSendingStream::OwnerOf(pid)),
      m_TraceRing(m_TraceMemory.Data(), CheckedTraceRingLength(m_TraceMemory)),
      m_MessageStream(CheckedMessageRingPid(pid)),
      m_RingsChecked(CheckTraceRingHeader()) {
  // Optional: a client without loss counters is served all the same.
  try {
    CheckRingFile(ClientLossCounters::Name(pid), ClientLossCounters::kFileSize);
    m_LossMemory = std::make_unique<SharedMemory>(ClientLossCounters::Name(pid),
                                                  ClientMessageSendingStream::OwnerOf(pid));
    if (m_LossMemory->Length() != ClientLossCounters::kFileSize) m_LossMemory.reset();
  } catch (const std::exception&) {
    m_LossMemory.reset();
  }
  KIV_DIAG("KivServer for process:" << m_Pid << " created.\n");
  // A missing file was reported by the dispatcher's own reading already.
  ReadKivServerConfig(m_Config, KivConfigPathPolicy().Get(), false);
  if (m_Config.m_StatusTrace) WriteControlRecord(TracePacketShared::ClientAttached, "");
}

KivServer::~KivServer() {
  try {
    // Data still in the ring goes out before the detach record; a ring whose
    // header the client damaged holds nothing that can be trusted.
    if (IsTraceRingUsable()) TakeBlock(true);
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " last block lost: " << e.what() << "\n");
  }
  try {
    const char* text = IsClientGone() ? GoneText : "";
    ReadKivServerConfig(m_Config, KivConfigPathPolicy().Get(), false);
    if (m_Config.m_StatusTrace) WriteControlRecord(TracePacketShared::ClientDetached, text);
  } catch (...) {
  }
  KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " deleted.\n");
}

void KivServer::WriteControlRecord(uint32_t code, const char* text) {
  WriteKivControlRecord(*m_Dispatcher, m_Sequence, code, m_Pid, text);
}

bool KivServer::TakeBlock(bool last) {
  // Read before the ring: a drop counted here happened before the records
  // written after it, which are in the ring now or come later. The counters
  // live in a file of the client's; a truncated one is no longer read.
  ClientLossCounters* counters = m_LossMemory && m_LossMemory->IsIntact()
                                     ? reinterpret_cast<ClientLossCounters*>(m_LossMemory->Data())
                                     : nullptr;
  uint64_t dropped = 0, untold = 0, gapAfter = 0;
  bool valid = false;
  if (counters && !MappedAccess::Run([&] {
        valid = ClientLossCounters::Field(counters->m_Magic).load(std::memory_order_acquire) ==
                ClientLossCounters::kMagic;
        if (!valid) return;
        dropped = ClientLossCounters::Field(counters->m_Dropped).load(std::memory_order_acquire);
        const uint64_t told = ClientLossCounters::Field(counters->m_Told).load(std::memory_order_relaxed);
        gapAfter = ClientLossCounters::Field(counters->m_GapAfter).load(std::memory_order_relaxed);
        if (dropped > told) untold = dropped - told;
      })) {
    m_LossMemory.reset();
    counters = nullptr;
  }
  if (!valid) untold = 0;
  const auto tell = [&] {
    m_Dispatcher->ReportLost(m_Pid, untold, TraceLossLedger::ClientRingFull);
    MappedAccess::Run(
        [&] { ClientLossCounters::Field(counters->m_Told).store(dropped, std::memory_order_release); });
  };
  uint32_t n = 0;
  if (!OnTraceRing([&] { n = m_TraceRing.GetDataLength(); })) return false;
  if (n == 0) {
    if (last && untold != 0) tell();
    return false;
  }
  // Header packet and body composed in place; the bytes are whole records
  // as the client wrote them.
  m_Block.Clear();
  uint8_t* at = m_Block.Extend(TraceRecordBuilder::kBlockHeaderPacketSize + size_t{n});
  uint8_t* records = at + TraceRecordBuilder::kBlockHeaderPacketSize;
  // Freed in the ring only once written (or found unwritable): a dispatcher
  // killed meanwhile leaves them to be carried over by the client.
  if (!OnTraceRing([&] { m_TraceRing.Peek(records, n); })) return false;
  struct Free {
    KivServer& server;
    uint32_t n;
    ~Free() {
      try {
        server.OnTraceRing([&] { server.m_TraceRing.Skip(n); });
      } catch (...) {
      }
    }
  } free{*this, n};
  if (m_FirstDrain) {
    m_FirstDrain = false;
    // Records carried over from the ring of a dispatcher that died keep
    // their numbers, above this dispatcher's: a block of their own, so that
    // readers, which order a block by number, keep them first.
    uint32_t carried = 0, previous = 0;
    while (carried + TraceRecordBuilder::kRecordHeaderPacketSize <= n) {
      TraceRecordHeader header;
      std::memcpy(&header, records + carried + 7, sizeof header);
      if (carried != 0 && header.m_SequenceNumber < previous) break;
      previous = header.m_SequenceNumber;
      const uint64_t next =
          uint64_t{carried} + TraceRecordBuilder::kRecordHeaderPacketSize + header.m_BodyLength;
      if (next > n) break;
      carried = static_cast<uint32_t>(next);
    }
    if (carried != 0 && carried + TraceRecordBuilder::kRecordHeaderPacketSize <= n) {
      if (untold != 0) tell();  // the carried drops: told first
      untold = 0;
      WriteBlock(at, carried);
      at += carried;  // the next header goes over the end of the block written
      records += carried;
      n -= carried;
    }
  }
  if (untold == 0) {
    WriteBlock(at, n);
    return true;
  }
  // The first record numbered after the gap; records are only walked here.
  uint32_t split = 0;
  while (split + TraceRecordBuilder::kRecordHeaderPacketSize <= n) {
    TraceRecordHeader header;
    std::memcpy(&header, records + split + 7, sizeof header);
    if (header.m_SequenceNumber >= gapAfter) break;
    const uint64_t next = uint64_t{split} + TraceRecordBuilder::kRecordHeaderPacketSize + header.m_BodyLength;
    if (next > n) {
      split = 0;  // not whole records: tell the loss first
      break;
    }
    split = static_cast<uint32_t>(next);
  }
  if (split + TraceRecordBuilder::kRecordHeaderPacketSize > n) split = n;
  if (split == n && !last) {
    WriteBlock(at, n);
    return true;
  }
  if (split > 0) WriteBlock(at, split);
  tell();
  // The second block's header goes over the end of the first, already written.
  if (split < n) WriteBlock(at + split, n - split);
  return true;
}

void KivServer::WriteBlock(uint8_t* at, uint32_t length) {
  TraceRecordBuilder::BuildBlockHeader(TraceBlockHeader(length, m_Pid), at);
  m_Dispatcher->write(at, TraceRecordBuilder::kBlockHeaderPacketSize + length);
}

bool KivServer::IsTraceRingIdle() {
  if (m_TraceRingLost.load(std::memory_order_acquire)) return false;
  bool idle = false;
  try {
    // A fault (file truncated) or damage is left to the full check.
    return MappedAccess::Run(
               [&] { idle = m_TraceRing.IsHeaderValid() && m_TraceRing.GetDataLength() == 0; }) &&
           idle;
  } catch (const std::exception&) {
    return false;
  }
}

void KivServer::WatchIdle() {
  if (!m_Waiting.load(std::memory_order_acquire)) return;
  if (IsTraceRingIdle() && (IsClientGone() || IsProcessWatched() || m_Process.IsRunning())) return;
  WakeWorker();
}

void KivServer::WakeWorker() {
  try {
    m_Stop.Wake();
  } catch (...) {
    // The worker still wakes for its ping.
  }
}

void KivServer::Worker() {
  uint32_t countdown = IdlePollsPerPing;
  uint32_t busyPolls = 0;
  try {
    while (!m_Stop.IsRequested()) {
      // Most idle polls only look at the ring's positions; the first after
      // data and the one before each ping take the full path below, which
      // also finds a ring file truncated while it stays empty.
      const bool quick = busyPolls == 0 && countdown != IdlePollsPerPing && IsTraceRingIdle();
      // A damaged header is the client's own doing: it loses its data and
      // is dropped; draining on would read garbage positions.
      if (!quick && !IsTraceRingUsable()) {
        KIV_DIAG("KivServer for process:" << m_Pid << " found a damaged or truncated trace ring.\n");
        MarkGone();
        return;
      }
      bool took = false;
      try {
        took = !quick && TakeBlock();
      } catch (const std::exception& e) {
        KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " block lost: " << e.what() << "\n");
      }
      if (took) {
        countdown = IdlePollsPerPing;
        busyPolls = BusyPolls;
        continue;
      }
      if (busyPolls > 0) {
        --busyPolls;
        usleep(1000);
        continue;
      }
      if (!IsClientGone()) Check(m_Process);
      // Watched, the thread sleeps until the ping is due unless woken.
      const uint32_t polls = m_Watched.load(std::memory_order_acquire) ? countdown : 1;
      m_Waiting.store(true, std::memory_order_release);
      const StopSignal::Waited waited = m_Stop.Wait(IdlePollMs * polls);
      m_Waiting.store(false, std::memory_order_release);
      if (waited == StopSignal::Waited::Stop) break;
      countdown -= waited == StopSignal::Waited::Timeout ? polls - 1 : 0;
      if (--countdown == 0) {
        Send(MessagePing(m_Pid));
        countdown = IdlePollsPerPing;
      }
    }
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " worker failed: " << e.what() << "\n");
    MarkGone();
  } catch (...) {
    MarkGone();
  }
}
