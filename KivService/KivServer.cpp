#include "KivService/KivServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include "KivConfigFileReader/KivConfigFileReader.h"
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
      m_TraceMemory(CheckedTraceRingName(pid), ClientMessageSendingStream::OwnerOf(pid)),
      m_TraceRing(m_TraceMemory.Data(), CheckedTraceRingLength(m_TraceMemory)),
      m_MessageStream(CheckedMessageRingPid(pid)),
      m_RingsChecked(CheckTraceRingHeader()) {
  KIV_DIAG("KivServer for process:" << m_Pid << " created.\n");
  // A missing file was reported by the dispatcher's own reading already.
  ReadKivServerConfig(m_Config, KivConfigPathPolicy().Get(), false);
  if (m_Config.m_StatusTrace) WriteControlRecord(TracePacketShared::ClientAttached, "");
}

KivServer::~KivServer() {
  try {
    // Data still in the ring goes out before the detach record; a ring whose
    // header the client damaged holds nothing that can be trusted.
    if (IsTraceRingUsable()) TakeBlock();
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

bool KivServer::TakeBlock() {
  uint32_t n = 0;
  if (!OnTraceRing([&] { n = m_TraceRing.GetDataLength(); }) || n == 0) return false;
  // Header packet and body composed in place; the bytes are whole records
  // as the client wrote them and are not parsed here.
  m_Block.Clear();
  uint8_t* at = m_Block.Extend(TraceRecordBuilder::kBlockHeaderPacketSize + size_t{n});
  TraceRecordBuilder::BuildBlockHeader(TraceBlockHeader(n, m_Pid), at);
  // Reading frees the ring for the client before the output is written.
  if (!OnTraceRing([&] { m_TraceRing.read(at + TraceRecordBuilder::kBlockHeaderPacketSize, n); }))
    return false;
  m_Dispatcher->write(m_Block.Data(), m_Block.GetLength());
  return true;
}

void KivServer::IdleSleep() const {
  constexpr uint32_t slice = 10;
  for (uint32_t slept = 0; slept < IdlePollMs && !m_StopRequested.load(std::memory_order_acquire);
       slept += slice)
    usleep(slice * 1000);
}

void KivServer::Worker() {
  uint32_t countdown = IdlePollsPerPing;
  uint32_t busyPolls = 0;
  try {
    while (!m_StopRequested.load(std::memory_order_acquire)) {
      // A damaged header is the client's own doing: it loses its data and
      // is dropped; draining on would read garbage positions.
      if (!IsTraceRingUsable()) {
        KIV_DIAG("KivServer for process:" << m_Pid << " found a damaged or truncated trace ring.\n");
        MarkGone();
        return;
      }
      bool took = false;
      try {
        took = TakeBlock();
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
      if (!IsClientGone()) Check(m_Pid);
      IdleSleep();
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
