#include "KivService/KivServer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "KivService/ClientLossCounters.h"
#include "KivService/KivServerControlRecord.h"
#include "MultiFileStream/LogFileNames.h"
#include "Support/ConfigPath.h"
#include "Support/Defaults.h"
#include "Support/Logging.h"
#include "Support/MappedAccess.h"
#include "Support/SharedFutex.h"
#include "Support/SysLogEntry.h"
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

// The sequence number and body length of the record whose header packet
// starts `at` bytes into ring bytes that may wrap (at + header packet size
// must not pass their end).
TraceRecordHeader RingRecordHeader(const CircularMemoryInputStream::Pieces& ring, uint64_t at) {
  TraceRecordHeader header;  // at offset 7 of the header packet
  const uint64_t from = at + 7;
  // Every drain walks its records: one copy unless the header is cut by the ring's end.
  if (from + sizeof header <= ring.firstLength) {
    std::memcpy(&header, ring.first + from, sizeof header);
  } else if (from >= ring.firstLength) {
    std::memcpy(&header, ring.second + (from - ring.firstLength), sizeof header);
  } else {
    uint8_t bytes[sizeof header];
    for (uint64_t i = 0; i < sizeof bytes; ++i)
      bytes[i] =
          from + i < ring.firstLength ? ring.first[from + i] : ring.second[from + i - ring.firstLength];
    std::memcpy(&header, bytes, sizeof header);
  }
  return header;
}

// ClientLossCounters::CountRecords for the ring bytes [from, to) that may wrap.
uint64_t CountRecords(const CircularMemoryInputStream::Pieces& ring, uint64_t from, uint64_t to) {
  uint64_t count = 0;
  for (uint64_t next = from; next + TraceRecordBuilder::kRecordHeaderPacketSize <= to; ++count) {
    // The bytes were written on another processor, and each header's place
    // depends on the one before: fetched ahead (never past `to`, where the
    // writer may be filling lines), or every record waits for its line.
    constexpr uint64_t kAhead = 1024;
    if (const uint64_t ahead = next + kAhead; ahead < to)
      __builtin_prefetch(ahead < ring.firstLength ? ring.first + ahead
                                                  : ring.second + (ahead - ring.firstLength));
    next += TraceRecordBuilder::kRecordHeaderPacketSize + uint64_t{RingRecordHeader(ring, next).m_BodyLength};
  }
  return count;
}

// The bytes [from, from + length) of `ring`.
CircularMemoryInputStream::Pieces Slice(const CircularMemoryInputStream::Pieces& ring, uint32_t from,
                                        uint32_t length) {
  CircularMemoryInputStream::Pieces part;
  if (from < ring.firstLength) {
    part.first = ring.first + from;
    part.firstLength = std::min(length, ring.firstLength - from);
    part.second = ring.second;
    part.secondLength = length - part.firstLength;
  } else {
    part.first = ring.second + (from - ring.firstLength);
    part.firstLength = length;
  }
  return part;
}

std::string CheckedTraceRingName(uint32_t pid) {
  Validation2Exception::CheckParameter(pid != 0, "Client process id 0");
  std::string name = KivMessageBuffers::TraceBufferName(pid);
  CheckRingFile(name, KivMessageBuffers::kTraceRingFileSize);
  return name;
}

uint32_t CheckedMessageRingPid(uint32_t pid) {
  CheckRingFile(KivMessageBuffers::ClientMessageBufferName(pid), KivMessageBuffers::kMessageRingFileSize);
  return pid;
}

// The file may have changed between the check and the mapping; the
// mapping's own length decides.
uint32_t CheckedTraceRingLength(const SharedMemory& memory) {
  Validation2Exception::CheckLogic(memory.Length() == KivMessageBuffers::kTraceRingFileSize,
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
  // A file shorter than the mapping faults on access, which the guard ends.
  if ((!MappedAccess::kCheckBeforeAccess || m_TraceMemory.IsIntact()) && MappedAccess::Run(access))
    return true;
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
    const std::string name = ClientLossCounters::Name(pid);
    struct stat st {};
    // Older clients made smaller files, with fewer fields.
    uint32_t size = ClientLossCounters::kFileSize;
    if (::stat(SharedMemory::FilePath(name).c_str(), &st) == 0)
      for (uint32_t older : {ClientLossCounters::kFirstFileSize, ClientLossCounters::kPositionsFileSize})
        if (st.st_size == static_cast<off_t>(older)) size = older;
    CheckRingFile(name, size);
    m_LossMemory = std::make_unique<SharedMemory>(name, ClientMessageSendingStream::OwnerOf(pid));
    if (m_LossMemory->Length() != size) m_LossMemory.reset();
    m_HasPositions = m_LossMemory && size >= ClientLossCounters::kPositionsFileSize;
    m_HasPublished = m_LossMemory && size == ClientLossCounters::kFileSize;
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
    if (IsTraceRingUsable())
      TakeBlock(true);
    else
      TellDamagedRingLoss();
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
  ClientLossCounters* counters =
      m_LossMemory && (!MappedAccess::kCheckBeforeAccess || m_LossMemory->IsIntact())
          ? reinterpret_cast<ClientLossCounters*>(m_LossMemory->Data())
          : nullptr;
  uint64_t dropped = 0, untold = 0, gapAfter = 0, published = 0;
  bool valid = false;
  if (counters && !MappedAccess::Run([&] {
        valid = ClientLossCounters::Field(counters->m_Magic).load(std::memory_order_acquire) ==
                ClientLossCounters::kMagic;
        if (!valid) return;
        // Before the ring's positions: the records it tells of are there.
        if (m_HasPublished)
          published = ClientLossCounters::Field(counters->m_Published).load(std::memory_order_acquire);
        dropped = ClientLossCounters::Field(counters->m_Dropped).load(std::memory_order_acquire);
        const uint64_t told = ClientLossCounters::Field(counters->m_Told).load(std::memory_order_relaxed);
        gapAfter = ClientLossCounters::Field(counters->m_GapAfter).load(std::memory_order_relaxed);
        if (dropped > told) untold = dropped - told;
      })) {
    m_LossMemory.reset();
    counters = nullptr;
  }
  if (!valid) untold = 0;
  if (untold != 0) untold -= ToldBeforeRestart(untold);
  const auto markTold = [&] {
    MappedAccess::Run(
        [&] { ClientLossCounters::Field(counters->m_Told).store(dropped, std::memory_order_release); });
  };
  const auto tell = [&] {
    if (!m_HasPositions) {
      // Marked told first: killed in between, the loss goes untold rather
      // than told twice.
      markTold();
      m_Dispatcher->ReportLost(m_Pid, untold, TraceLossLedger::ClientRingFull);
      return;
    }
    // As for records (WriteBlock): killed during the write, the file's size
    // tells the next dispatcher whether the loss was told.
    StorePosition(&ClientLossCounters::m_Inode, 0);
    StorePosition(&ClientLossCounters::m_Telling, dropped);
    m_Dispatcher->ReportLost(m_Pid, untold, TraceLossLedger::ClientRingFull, this);
    markTold();
  };
  uint32_t n = 0;
  if (!OnTraceRing([&] {
        n = m_TraceRing.GetDataLength();
        m_ReadAt = m_TraceRing.ReadPosition();
      }))
    return false;
  if (n == 0) {
    if (last && untold != 0) tell();
    return false;
  }
  // Freed in the ring only once written (or found unwritable): a dispatcher
  // killed meanwhile leaves them to be carried over by the client.
  struct Free {
    KivServer& server;
    uint32_t n;
    ~Free() {
      try {
        // Whatever became of them, these bytes are not to be carried over.
        server.StorePosition(&ClientLossCounters::m_WritingTo, server.RingMark(n));
        server.StorePosition(&ClientLossCounters::m_DrainedTo, server.RingMark(n));
        server.OnTraceRing([&] { server.m_TraceRing.Skip(n); });
      } catch (...) {
      }
    }
  };
  // Known only from one drain to the next that both end at a published word.
  const uint32_t countedTo = m_CountedTo;
  m_CountedTo = kNotCounted;
  // The common case, nothing carried over: the records go from the ring to
  // a binary file with no copy. A drop to tell goes at its gap, as below;
  // a writer that outruns the drainer must not make each drain dearer.
  if (!m_FirstDrain && m_Dispatcher->TakesPieces()) {
    // Taken up to the client's published word, its records counted by
    // difference: walking them would wait for each header's line, just
    // written on another processor. A word that does not fall within what
    // the ring holds, or a count that cannot fit, is not believed (the
    // client may write anything there): the records are walked then.
    const uint32_t capacity = m_TraceRing.Capacity();
    const auto end = static_cast<uint32_t>(published), written = static_cast<uint32_t>(published >> 32);
    const uint32_t span = end < capacity ? (end + capacity - m_ReadAt) % capacity : 0;
    const bool toPublished = m_HasPublished && !last && span != 0 && span <= n;
    uint64_t counted = 0;
    if (toPublished) {
      n = span;
      const uint32_t records = written - m_CountedWritten;  // modulo 2^32, as published
      if (countedTo == m_ReadAt && records != 0 &&
          uint64_t{records} * TraceRecordBuilder::kRecordHeaderPacketSize <= span)
        counted = records;
    }
    CircularMemoryInputStream::Pieces ring;
    uint32_t split = n;
    uint64_t before = 0, after = 0;
    if (!OnTraceRing([&] {
          ring = m_TraceRing.Locate(n);
          // The records ahead of a gap are counted by the walk that finds it.
          if (untold != 0)
            split = GapSplit(ring, n, gapAfter, &before);
          else
            before = counted != 0 ? counted : CountRecords(ring, 0, n);
          after = CountRecords(ring, split, n);
        }))
      return false;
    Free free{*this, n};
    if (toPublished) {
      m_CountedTo = end;
      m_CountedWritten = written;
    }
    if (untold == 0 || (split == n && !last)) {
      WriteRingBlock(ring, 0, n, before);
      return true;
    }
    if (split > 0 && !WriteRingBlock(ring, 0, split, before)) return true;
    tell();
    if (split < n) WriteRingBlock(ring, split, n - split, after);
    return true;
  }
  // Taken a quarter ring at a time: the bytes stay in the ring until
  // written, and rendering half a ring would hold it long enough for a
  // writer at full speed to fill the rest. (Not the first drain, whose
  // carried records are sorted out below, nor the last.)
  const uint32_t available = n;
  if (!m_FirstDrain && !last) n = std::min(n, m_TraceRing.Capacity() / kTakesPerRing);
  // Header packet and body composed in place; the bytes are whole records
  // as the client wrote them.
  m_Block.Clear();
  uint8_t* at = m_Block.Extend(TraceRecordBuilder::kBlockHeaderPacketSize + size_t{available});
  uint8_t* records = at + TraceRecordBuilder::kBlockHeaderPacketSize;
  if (!OnTraceRing([&] { m_TraceRing.Peek(records, n); })) return false;
  uint64_t count = 0;
  // Cut after the last whole record, found (and counted) in the copy: its
  // lines are at hand, the ring's would each be waited for.
  const uint32_t whole = n < available ? ClientLossCounters::WholeRecordsEnd(records, n, count) : 0;
  // Whether `count` is what the output would count: the bytes end with a
  // whole record (a client may have written anything there).
  bool whollyCounted = whole != 0;
  if (whole != 0) {
    n = whole;
  } else {
    if (n < available) {  // one record longer than the part: all of it after all
      n = available;
      if (!OnTraceRing([&] { m_TraceRing.Peek(records, n); })) return false;
    }
    whollyCounted = ClientLossCounters::WholeRecordsEnd(records, n, count) == n;
    if (!whollyCounted) count = ClientLossCounters::CountRecords(records, n);
  }
  m_Taken += count;
  Free free{*this, n};
  uint32_t done = 0;  // ring bytes (from the read position) written so far
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
    // Records the dead dispatcher had written as it was killed are left out
    // (the next header goes over their end).
    const uint32_t inLog = CarriedInLog(records, carried);
    at += inLog;
    records += inLog;
    carried -= inLog;
    done += inLog;
    if (carried != 0 && carried + TraceRecordBuilder::kRecordHeaderPacketSize <= n - inLog) {
      if (untold != 0) tell();  // the carried drops: told first
      untold = 0;
      WriteBlock(at, carried, done += carried);
      at += carried;  // the next header goes over the end of the block written
      records += carried;
      n -= carried;
    }
    n -= inLog;
    if (n == 0) {
      if (untold != 0) tell();
      return true;
    }
  }
  // The count is of all the bytes taken, which go as one block unless split.
  const uint64_t blockRecords = whollyCounted && done == 0 ? count : KivTraceStreamDispatcher::kCountRecords;
  if (untold == 0) {
    if (n != 0) WriteBlock(at, n, done + n, blockRecords);
    return true;
  }
  const uint32_t split = GapSplit({records, n, nullptr, 0}, n, gapAfter);
  if (split == n && !last) {
    WriteBlock(at, n, done + n, blockRecords);
    return true;
  }
  if (split > 0) WriteBlock(at, split, done + split);
  tell();
  // The second block's header goes over the end of the first, already written.
  if (split < n) WriteBlock(at + split, n - split, done + n);
  return true;
}

void KivServer::WriteBlock(uint8_t* at, uint32_t length, uint32_t end, uint64_t records) {
  TraceRecordBuilder::BuildBlockHeader(TraceBlockHeader(length, m_Pid), at);
  // Known to the client before the write, and after it: killed in between,
  // the file's size decides (see ClientLossCounters.h).
  StorePosition(&ClientLossCounters::m_Inode, 0);
  StorePosition(&ClientLossCounters::m_WritingTo, RingMark(end));
  m_Dispatcher->write(at, TraceRecordBuilder::kBlockHeaderPacketSize + length, this, &m_Rendered, records);
  StorePosition(&ClientLossCounters::m_DrainedTo, RingMark(end));
}

uint32_t KivServer::GapSplit(const CircularMemoryInputStream::Pieces& ring, uint32_t n, uint64_t gapAfter,
                             uint64_t* before) {
  // The first record numbered after the gap.
  uint32_t split = 0;
  uint64_t count = 0;
  while (split + TraceRecordBuilder::kRecordHeaderPacketSize <= n) {
    const TraceRecordHeader header = RingRecordHeader(ring, split);
    if (header.m_SequenceNumber >= gapAfter) break;
    const uint64_t next = uint64_t{split} + TraceRecordBuilder::kRecordHeaderPacketSize + header.m_BodyLength;
    if (next > n) {  // not whole records: tell the loss first
      count = 0;
      split = 0;
      break;
    }
    split = static_cast<uint32_t>(next);
    ++count;
  }
  if (before) *before = count;
  return split + TraceRecordBuilder::kRecordHeaderPacketSize > n ? n : split;
}

bool KivServer::WriteRingBlock(const CircularMemoryInputStream::Pieces& ring, uint32_t from, uint32_t length,
                               uint64_t records) {
  uint8_t header[TraceRecordBuilder::kBlockHeaderPacketSize];
  TraceRecordBuilder::BuildBlockHeader(TraceBlockHeader(length, m_Pid), header);
  // Positions as WriteBlock stores them.
  StorePosition(&ClientLossCounters::m_Inode, 0);
  StorePosition(&ClientLossCounters::m_WritingTo, RingMark(from + length));
  const CircularMemoryInputStream::Pieces part = Slice(ring, from, length);
  const iovec pieces[] = {{header, sizeof header},
                          {const_cast<uint8_t*>(part.first), part.firstLength},
                          {const_cast<uint8_t*>(part.second), part.secondLength}};
  if (m_Dispatcher->WriteGathered(pieces, 3, records, this) ==
      KivTraceStreamDispatcher::Outcome::SourceFaulted) {
    // Cut under the write (which left nothing of the block in the file):
    // the records were not taken, and the client loses its ring.
    KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " found its trace ring truncated.\n");
    m_TraceRingLost.store(true, std::memory_order_release);
    MarkGone();
    return false;
  }
  m_Taken += records;
  StorePosition(&ClientLossCounters::m_DrainedTo, RingMark(from + length));
  return true;
}

void KivServer::BeforeAppend(const RotatingFileOutput::Placement& placement) noexcept {
  StorePosition(&ClientLossCounters::m_Device, placement.device);
  StorePosition(&ClientLossCounters::m_FileEnd, placement.end);
  StorePosition(&ClientLossCounters::m_Inode, placement.inode);
}

void KivServer::TellDamagedRingLoss() {
  ClientLossCounters* counters = PositionCounters();
  if (m_DamageTold || !counters) return;
  m_DamageTold = true;
  uint64_t written = 0;
  if (!MappedAccess::Run(
          [&] { written = ClientLossCounters::Field(counters->m_Written).load(std::memory_order_acquire); }))
    return;
  // A count below what was taken is the client's damage too: nothing to tell.
  if (written > m_Taken) m_Dispatcher->ReportLost(m_Pid, written - m_Taken, TraceLossLedger::DamagedRing);
}

uint64_t KivServer::RingMark(uint32_t offset) const {
  return (uint64_t{m_ReadAt} + offset) % m_TraceRing.Capacity() + 1;
}

void KivServer::StorePosition(uint64_t ClientLossCounters::*field, uint64_t value) noexcept {
  ClientLossCounters* counters = PositionCounters();
  if (counters && !MappedAccess::Run([&] {
        ClientLossCounters::Field(counters->*field).store(value, std::memory_order_release);
      }))
    m_PositionsLost = true;
}

ClientLossCounters* KivServer::PositionCounters() const {
  // No fstat here: several stores go with every block, and a file cut
  // under us faults inside the guard, which marks the positions lost.
  if (!m_HasPositions || m_PositionsLost || !m_LossMemory) return nullptr;
  return reinterpret_cast<ClientLossCounters*>(m_LossMemory->Data());
}

bool KivServer::ReadDoubt(uint64_t ClientLossCounters::*field, Doubt& doubt) const {
  ClientLossCounters* counters = PositionCounters();
  if (!counters) return false;
  if (MappedAccess::Run([&] {
        doubt.count = ClientLossCounters::Field(counters->*field).load(std::memory_order_acquire);
        doubt.device = ClientLossCounters::Field(counters->m_DoubtDevice).load(std::memory_order_relaxed);
        doubt.inode = ClientLossCounters::Field(counters->m_DoubtInode).load(std::memory_order_relaxed);
        doubt.end = ClientLossCounters::Field(counters->m_DoubtEnd).load(std::memory_order_relaxed);
      }))
    return true;
  m_PositionsLost = true;
  return false;
}

uint32_t KivServer::CarriedInLog(const uint8_t* records, uint32_t carried) {
  Doubt doubt;
  if (!ReadDoubt(&ClientLossCounters::m_Doubt, doubt) || doubt.count == 0) return 0;
  const uint32_t inLog = doubt.inode != 0 && doubt.count <= carried &&
                                 ClientLossCounters::IsRecordBoundary(records, carried, doubt.count) &&
                                 LogFileReaches(doubt.device, doubt.inode, doubt.end)
                             ? static_cast<uint32_t>(doubt.count)
                             : 0;
  // Decided once. Records found in the log count as written before the
  // doubt goes, or a kill in between would have them carried again.
  StorePosition(&ClientLossCounters::m_WritingTo, RingMark(inLog));
  StorePosition(&ClientLossCounters::m_DrainedTo, RingMark(inLog));
  StorePosition(&ClientLossCounters::m_Doubt, 0);
  return inLog;
}

uint64_t KivServer::ToldBeforeRestart(uint64_t untold) {
  Doubt doubt;
  // Before the client has added the drops it carried, the doubt waits.
  if (!ReadDoubt(&ClientLossCounters::m_DoubtTold, doubt) || doubt.count == 0 || doubt.count > untold)
    return 0;
  // Decided once: cleared whatever the answer.
  const bool told = doubt.inode != 0 && LogFileReaches(doubt.device, doubt.inode, doubt.end);
  ClientLossCounters* counters = PositionCounters();
  if (!counters) return 0;  // cut since it was read: nothing is marked
  MappedAccess::Run([&] {
    if (told) ClientLossCounters::Field(counters->m_Told).fetch_add(doubt.count, std::memory_order_acq_rel);
    ClientLossCounters::Field(counters->m_DoubtTold).store(0, std::memory_order_release);
  });
  return told ? doubt.count : 0;
}

bool KivServer::LogFileReaches(uint64_t device, uint64_t inode, uint64_t end) const {
  // Only a file of the log directory is looked at; one cut short (or gone)
  // did not get the bytes in readable form, so they are written again.
  const std::string dir = LogFileNames::NormaliseDirectory(m_Config.m_LogDirectory);
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
  if (!listing) return false;
  while (const dirent* entry = readdir(listing.get())) {
    struct stat st {};
    if (fstatat(dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (static_cast<uint64_t>(st.st_dev) == device && static_cast<uint64_t>(st.st_ino) == inode)
      return static_cast<uint64_t>(st.st_size) >= end;
  }
  return false;
}

bool KivServer::IsTraceRingIdle(uint32_t upTo) {
  if (m_TraceRingLost.load(std::memory_order_acquire)) return false;
  bool idle = false;
  try {
    // A fault (file truncated) or damage is left to the full check.
    return MappedAccess::Run(
               [&] { idle = m_TraceRing.IsHeaderValid() && m_TraceRing.GetDataLength() <= upTo; }) &&
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
  } catch (const std::system_error&) {
    // The worker still wakes for its ping.
  }
  WakeWord();
}

void KivServer::RequestStop() {
  m_Stop.Request();
  WakeWord();
}

uint32_t* KivServer::WakeWordIfUsable() const noexcept {
  if (!m_LossMemory || m_WakeWordLost.load(std::memory_order_relaxed)) return nullptr;
  return &reinterpret_cast<ClientLossCounters*>(m_LossMemory->Data())->m_DrainerWake;
}

void KivServer::WakeWord() noexcept {
  uint32_t* word = WakeWordIfUsable();
  if (!word) return;
  // The stop signal was set before: a worker about to wait finds it, or
  // its wait finds the word changed.
  SharedFutex::StoreLoadBarrier();
  if (MappedAccess::Run([&] {
        ClientLossCounters::Field(*word).store(ClientLossCounters::kDrainerAwake, std::memory_order_relaxed);
      }))
    SharedFutex::Wake(word);
}

StopSignal::Waited KivServer::WaitForRecords(uint32_t periodMs, bool busy) {
  uint32_t* word = WakeWordIfUsable();
  const uint32_t state = busy ? ClientLossCounters::kDrainerPolling : ClientLossCounters::kDrainerSleeping;
  const auto store = [&](uint32_t value) {
    return MappedAccess::Run(
        [&] { ClientLossCounters::Field(*word).store(value, std::memory_order_relaxed); });
  };
  if (word && !store(state)) {
    m_WakeWordLost.store(true, std::memory_order_relaxed);
    word = nullptr;
  }
  if (!word) return m_Stop.Wait(periodMs);
  // The state is stored before the ring is looked at, and a client stores
  // its record before it looks at the state: a record that this look
  // misses finds the state and wakes the word.
  SharedFutex::StoreLoadBarrier();
  SharedFutex::Waited waited = SharedFutex::Waited::Woken;
  if (!m_Stop.IsRequested() && !m_Stop.TakeWake() && IsTraceRingIdle(busy ? m_TraceRing.Capacity() / 2 : 0))
    waited = SharedFutex::Wait(word, state, periodMs);
  // Awake: the client's writes need not wake it now.
  store(ClientLossCounters::kDrainerAwake);
  if (waited == SharedFutex::Waited::Failed) {
    // The file can no longer be waited on (cut short): this period, and
    // every later one, sleeps on the stop signal.
    KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " cannot wait on its wake word.\n");
    m_WakeWordLost.store(true, std::memory_order_relaxed);
    return m_Stop.Wait(periodMs);
  }
  if (m_Stop.IsRequested()) return StopSignal::Waited::Stop;
  return waited == SharedFutex::Waited::Timeout ? StopSignal::Waited::Timeout : StopSignal::Waited::Woken;
}

void KivServer::ApplyDrainPriority(uint32_t priority) noexcept {
  sched_param param{};
  param.sched_priority = static_cast<int>(priority);
  const int policy = (priority == 0 ? SCHED_OTHER : SCHED_FIFO) | SCHED_RESET_ON_FORK;
  if (sched_setscheduler(static_cast<pid_t>(gettid()), policy, &param) == 0) return;
  const int error = errno;
  if (priority == s_DrainPriority.load(std::memory_order_relaxed))
    s_DrainRefusal.store(error, std::memory_order_relaxed);
  static std::atomic<bool> told{false};
  if (told.exchange(true)) return;
  KIV_DIAG_NOTHROW("drain_priority " << priority << " not applied: " << std::strerror(error) << "\n");
  char text[96];
  const int length = std::snprintf(text, sizeof text,
                                   "Configuration: drain_priority %u can not be applied; the drains keep "
                                   "their scheduling",
                                   priority);
  ReportFailureToSystemLog(std::string_view(text, length > 0 ? std::min<size_t>(length, sizeof text - 1) : 0),
                           {}, error);
}

void KivServer::Worker() {
  using Clock = std::chrono::steady_clock;
  const auto pingPeriod = std::chrono::milliseconds(kPollPeriodMs * kIdlePollsPerPing);
  // Pings go by the clock, not by the count of wake-ups: a client that
  // wakes its server needlessly must not be pinged more often for it.
  Clock::time_point pingDue = Clock::now() + pingPeriod;
  bool fullCheck = true;
  uint32_t busyPolls = 0;
  uint32_t priority = 0;  // as every thread starts
  try {
    while (!m_Stop.IsRequested()) {
      if (const uint32_t wanted = s_DrainPriority.load(std::memory_order_relaxed); wanted != priority) {
        ApplyDrainPriority(wanted);
        priority = wanted;
      }
      // Most idle polls only look at the ring's positions; the first after
      // data and the first after each ping take the full path below, which
      // also finds a ring file truncated while it stays empty.
      const bool quick = !fullCheck && busyPolls == 0 && IsTraceRingIdle();
      if (!quick) fullCheck = false;
      // A damaged header is the client's own doing: it loses its data and
      // is dropped; draining on would read garbage positions.
      if (!quick && !IsTraceRingUsable()) {
        KIV_DIAG("KivServer for process:" << m_Pid << " found a damaged or truncated trace ring.\n");
        TellDamagedRingLoss();
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
        pingDue = Clock::now() + pingPeriod;
        fullCheck = true;
        busyPolls = kBusyPolls;
        // A writer that keeps the ring filling is drained in batches: the
        // next pass waits for half a ring or one busy poll, whichever comes
        // first, since each drain costs a write whatever its size. A client
        // that cannot wake us is drained again at once.
        if (WakeWordIfUsable() && WaitForRecords(kBusyPollMs, true) == StopSignal::Waited::Stop) break;
        continue;
      }
      if (busyPolls > 0) {
        --busyPolls;
        if (WaitForRecords(kBusyPollMs, true) == StopSignal::Waited::Stop) break;
        continue;
      }
      if (!IsClientGone()) Check(m_Process);
      const Clock::time_point now = Clock::now();
      if (now >= pingDue) {
        Send(MessagePing(m_Pid));
        pingDue = now + pingPeriod;
        fullCheck = true;  // at the next poll
      }
      // Watched, the thread sleeps until the ping is due unless woken.
      const auto untilPing = std::chrono::ceil<std::chrono::milliseconds>(pingDue - now).count();
      const uint32_t periodMs = m_Watched.load(std::memory_order_acquire)
                                    ? static_cast<uint32_t>(std::max<int64_t>(untilPing, 1))
                                    : kPollPeriodMs;
      m_Waiting.store(true, std::memory_order_release);
      const StopSignal::Waited waited = WaitForRecords(periodMs, false);
      m_Waiting.store(false, std::memory_order_release);
      if (waited == StopSignal::Waited::Stop) break;
    }
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("KivServer for process:" << m_Pid << " worker failed: " << e.what() << "\n");
    MarkGone();
  } catch (...) {
    MarkGone();
  }
}
