#pragma once
// The per-client trace server: one per registered client process, run on a
// thread of its own by KivServerManager::MultithreadedKivServer.
//
// It drains the client's trace ring ("KivTraceBuffer" + pid) into one block
// per pass, stamped with the client's pid, and writes it to the local trace
// stream dispatcher. A pass that copies the records out (text files, or
// syslog on) takes at most a quarter of the ring: the bytes stay in the ring
// until written, and rendering more would hold it too long. While the ring
// stays empty it polls every 100 ms, checks on each idle poll that the
// client process still runs, and after 20 idle polls in a row (about 2 s)
// sends the client a ping. A server added to the
// manager's IdleTraceServerWatch leaves the idle polls to that one thread
// (WatchIdle) and sleeps until it finds data or the process gone, or the
// next ping is due. Otherwise each idle poll costs one wake-up: the thread
// sleeps the whole period on its stop signal, reads the ring's header
// without a system call and checks the process through a process
// descriptor (WatchedProcess). Either way the ring's header and the loss
// counters are looked at before each drain and at every ping (a file cut
// short faults inside the access guard). It writes the "client attached"
// control record when made and "client detached" when destroyed.
//
// A client with loss counters can wake it (ClientLossCounters.h): the
// worker waits on the counters' wake word instead of its stop signal, and
// the client's first record in an empty ring ends an idle wait, a ring past
// half full a busy poll's. After a drain it waits for half a ring or one
// busy poll before the next, so that a writer at full speed is drained in
// large batches; once a poll finds the ring empty it busy polls a little
// longer, then goes idle. Stop requests and the watch's wake-ups wake the
// word too. Where the word cannot be waited on (an older client, a file cut
// short) the worker sleeps on the stop signal with the same periods and
// drains again at once after a drain.
//
// The client's rings are input from another process: both must exist with
// exactly the sizes of their kinds and a valid header, or construction
// raises and no server exists. The trace ring's header is checked again
// before every drain; a client that damages it loses what its ring held
// (told lost in the log when its loss counters say how many records it put
// in) and is marked gone, so the manager's next cleanup removes it. A trace ring
// file truncated while mapped is found before each drain (and a SIGBUS on
// access is caught, see MappedAccess.h, as is the failed write of a block
// written straight from the ring): the client loses its data and is
// dropped with GoneText; the ring is never touched again. Nothing it does
// to its own rings reaches other clients. Ring files must belong to the
// client process's real user (or root or the dispatcher's user).
//
// Threads: Worker() runs on the server's own thread, the only reader of the
// trace ring. MessageStream() is the dispatcher's only writer object into the
// client's message ring; it serialises the worker's pings with the
// confirmations and broadcasts the message thread sends (under the manager
// lock). m_Stop is requested by the thread that deletes the server and wakes
// the worker's idle wait, which the watch thread also ends (WatchIdle);
// m_ClientGone is set by the worker and read by the manager's cleanup;
// m_Watched, m_Waiting and m_WakeWordLost are atomics.
//
// Lifetime: created and destroyed only by the server manager, with the
// manager lock held, and destroyed only after its worker has returned. The
// sequence counter must outlive it.

#include <atomic>
#include <cstdint>
#include <memory>

#include "KivConfigFileReader/KivServerConfig.h"
#include "KivService/ClientLossCounters.h"
#include "KivService/FileStream.h"
#include "KivService/KivLocalTraceStreamDispatcher.h"
#include "KivService/KivRecordSequenceGenerator.h"
#include "MemoryStream/CircularMemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "ServiceMonitor/WatchedProcess.h"
#include "Support/SharedMemory.h"
#include "Support/StopSignal.h"
#include "TraceService/MessageStreams.h"
#include "TraceService/MessageTransmitter.h"

class KivServer : public WatchServiceStopUsingPID, private RotatingFileOutput::AppendObserver {
 public:
  static constexpr uint32_t kIdlePollsPerPing = 20;
  // After a pass that took data, the ring is polled this many times every
  // millisecond before idle polling resumes: a client writing at full speed
  // refills its ring within milliseconds, and a 100 ms sleep after every
  // drain would let it overflow.
  static constexpr uint32_t kBusyPolls = 50;
  static constexpr uint32_t kBusyPollMs = 1;
  // A drain that copies the records (text, or syslog on) takes at most this
  // part of the ring at once.
  static constexpr uint32_t kTakesPerRing = 4;
  static constexpr const char* GoneText = "Not received un-registration message from client.";

  // Maps both rings of client `pid` (raising when they are missing, of the
  // wrong size or with a damaged trace ring header), takes a handle to the
  // local dispatcher, reads its settings copy from the configuration file and
  // writes the attach record when "StatusTrace" is on.
  KivServer(KivRecordSequenceGenerator& sequence, uint32_t pid);
  // Takes one last block, writes the detach record (text GoneText when the
  // client was gone) when "StatusTrace" is on; unmaps the rings without
  // removing their files (the manager does). Never raises.
  ~KivServer() override;

  // The thread body: runs until RequestStop(). Never raises; a failure marks
  // the client gone and ends it.
  void Worker();
  // The scheduling every worker thread asks for at its next pass: 0 the
  // normal policy, 1 to kMaxDrainPriority the real-time FIFO policy at that
  // priority, so that writers at full speed on every processor cannot keep
  // their drains waiting until the rings overflow. Children forked by such a
  // thread start with the normal policy. A thread the system refuses it
  // (no CAP_SYS_NICE) stays as it is; the first refusal is logged.
  static void SetDrainPriority(uint32_t priority) noexcept {
    if (s_DrainPriority.exchange(priority, std::memory_order_relaxed) != priority)
      s_DrainRefusal.store(0, std::memory_order_relaxed);
  }
  static uint32_t DrainPriority() noexcept { return s_DrainPriority.load(std::memory_order_relaxed); }
  // The system's error for the latest thread refused the current priority;
  // 0 while none was.
  static int DrainPriorityRefusal() noexcept { return s_DrainRefusal.load(std::memory_order_relaxed); }
  void RequestStop();
  // Set by the owner once the server is added to the idle watch.
  void SetWatched(bool watched) { m_Watched.store(watched, std::memory_order_release); }
  // One idle poll on the watch thread: wakes the worker, while it waits
  // idle, when the trace ring holds data or must be checked, or (unless the
  // watch reports it, SetProcessWatched) the client process has ended.
  // Never raises.
  void WatchIdle();
  // Ends the worker's idle wait (the watch found the client process ended,
  // or data): it polls now.
  void WakeWorker();
  const WatchedProcess& Process() const { return m_Process; }
  // Whether the watch reports the process's end (guarded by the watch's lock).
  void SetProcessWatched(bool watched) { m_ProcessWatched.store(watched, std::memory_order_release); }
  bool IsProcessWatched() const { return m_ProcessWatched.load(std::memory_order_acquire); }

  uint32_t Pid() const { return m_Pid; }
  // Whether the map file at the ring's name is still the one this server
  // mapped: a client that left and came back under the same pid made new
  // files, which this server must neither drain in place of nor remove.
  bool IsTraceRingFileCurrent() const { return m_TraceMemory.IsFileAtPath(); }
  bool IsMessageRingFileCurrent() const { return m_MessageStream.Memory().IsFileAtPath(); }
  bool IsLossFileCurrent() const { return m_LossMemory && m_LossMemory->IsFileAtPath(); }
  bool AreRingFilesCurrent() const { return IsTraceRingFileCurrent() && IsMessageRingFileCurrent(); }
  bool IsClientGone() const { return m_ClientGone.load(std::memory_order_acquire); }
  // Bumped (release) after any server of the process marks its client gone:
  // a cleanup pass that saw the same count before finds nothing to remove.
  static uint64_t GoneEvents() { return s_GoneEvents.load(std::memory_order_acquire); }

  // One message into the client's message ring, through the per-client
  // stream. False when it did not fit (lost); raises on a damaged ring header.
  template <class Message>
  bool Send(const Message& message) {
    return MessageTransmitter<ClientMessageSendingStream>(m_MessageStream).Send(message);
  }

 protected:
  // The process watch found the client gone.
  void OnServiceStopped() override { MarkGone(); }

 private:
  void MarkGone() {
    if (!m_ClientGone.exchange(true, std::memory_order_acq_rel))
      s_GoneEvents.fetch_add(1, std::memory_order_release);
  }
  // Everything stored in the trace ring as one block; false when empty.
  // Records the client dropped are told first, or between the records
  // written before and after the drop; a drop after all the records taken
  // waits for the next block, unless `last`.
  bool TakeBlock(bool last = false);
  // Writes the block of `length` record bytes whose header packet starts at
  // `at` (its header is built there); `end` bytes of the ring from the read
  // position are then written. The client learns where the ring stands.
  // `records`: the block's whole records, when counted already.
  void WriteBlock(uint8_t* at, uint32_t length, uint32_t end,
                  uint64_t records = KivTraceStreamDispatcher::kCountRecords);
  // Where a block of `n` ring bytes splits at the client's gap: the offset
  // of the first record numbered `gapAfter` or later (n when none), 0 when
  // the bytes are not whole records. `before`, when given, receives the
  // number of records ahead of the split.
  static uint32_t GapSplit(const CircularMemoryInputStream::Pieces& ring, uint32_t n, uint64_t gapAfter,
                           uint64_t* before = nullptr);
  // The same as WriteBlock for the `length` bytes `from` bytes after the
  // read position, holding `records` records, written from the ring with no
  // copy. False when the ring was cut short under the write: it is lost
  // then, as when a copy from it faults.
  bool WriteRingBlock(const CircularMemoryInputStream::Pieces& ring, uint32_t from, uint32_t length,
                      uint64_t records);
  void BeforeAppend(const RotatingFileOutput::Placement& placement) noexcept override;
  // The ring position `offset` bytes after the read position, + 1.
  uint64_t RingMark(uint32_t offset) const;
  // The client's loss counters when they have the position fields; null
  // for an older client, or a file cut short.
  ClientLossCounters* PositionCounters() const;
  // What a carrying client left undecided (ClientLossCounters.h): the count
  // in `field` and the file; false when it cannot be read.
  struct Doubt {
    uint64_t count = 0, device = 0, inode = 0, end = 0;
  };
  bool ReadDoubt(uint64_t ClientLossCounters::*field, Doubt& doubt) const;
  // One position field of the client's loss counters, when it has them.
  void StorePosition(uint64_t ClientLossCounters::*field, uint64_t value) noexcept;
  // How many of the `carried` bytes at `records` (the first drain's records
  // carried over from a dead dispatcher's ring) are in its log already.
  uint32_t CarriedInLog(const uint8_t* records, uint32_t carried);
  // How many of the `untold` drops carried over the dead dispatcher told
  // after all (they are marked told).
  uint64_t ToldBeforeRestart(uint64_t untold);
  // The records the client put into a ring found damaged (or cut) and never
  // taken: told lost, once.
  void TellDamagedRingLoss();
  // Whether the file `device`/`inode` of the log directory is `end` bytes long.
  bool LogFileReaches(uint64_t device, uint64_t inode, uint64_t end) const;
  // True when the trace ring holds nothing (at most `upTo` bytes) and its
  // header is valid, found without a system call; false when it must be
  // drained or checked.
  bool IsTraceRingIdle(uint32_t upTo = 0);
  // The worker's wait: at most `periodMs`, until stop, a wake-up, or (through
  // the wake word) the client's first record (`busy`: the ring past half full).
  StopSignal::Waited WaitForRecords(uint32_t periodMs, bool busy);
  // Ends a wait on the wake word (after the stop signal was set).
  void WakeWord() noexcept;
  // The client's wake word; null when there is none or it failed.
  uint32_t* WakeWordIfUsable() const noexcept;
  void WriteControlRecord(uint32_t code, const char* text);
  // Raises when the client's trace ring header is damaged; true otherwise.
  bool CheckTraceRingHeader();
  // Runs `access` on the trace ring unless it was lost; a file found
  // truncated (or a fault) loses it and marks the client gone. False then.
  template <class F>
  bool OnTraceRing(F&& access);
  // Header valid and ring not lost.
  bool IsTraceRingUsable();

  StopSignal m_Stop;
  std::atomic<bool> m_Watched{false};
  std::atomic<bool> m_Waiting{false};  // the worker sleeps idle
  std::atomic<bool> m_ProcessWatched{false};
  KivRecordSequenceGenerator& m_Sequence;
  const uint32_t m_Pid;
  const WatchedProcess m_Process;  // the client process, for the idle liveness check
  std::atomic<bool> m_ClientGone{false};
  static inline std::atomic<uint64_t> s_GoneEvents{0};
  static inline std::atomic<uint32_t> s_DrainPriority{0};
  static inline std::atomic<int> s_DrainRefusal{0};
  // Puts the calling thread under the scheduling s_DrainPriority asks for.
  static void ApplyDrainPriority(uint32_t priority) noexcept;
  std::atomic<bool> m_TraceRingLost{false};  // worker, then destructor
  KivServerConfig m_Config;                  // own copy; only m_StatusTrace is used

  SharedMemory m_TraceMemory;  // the client's trace ring (opened, not owned)
  CircularMemoryInputStream m_TraceRing;
  ClientMessageSendingStream m_MessageStream;  // its own mutex guards every write
  // Set from the header check, so that a refused client never makes the
  // handle below open the local dispatcher (and with it a log file).
  const bool m_RingsChecked;
  KivLocalTraceStreamDispatcherHandle m_Dispatcher;
  SmartBufferOutputStream<65536> m_Block;  // touched by the worker, then by the destructor
  RenderedBlock m_Rendered;                // m_Block's lines, rendered by the worker (then the destructor)
  // The client's loss counters, when it has them (ClientLossCounters.h).
  std::unique_ptr<SharedMemory> m_LossMemory;
  bool m_FirstDrain = true;                 // worker, then destructor
  bool m_HasPositions = false;              // its counters file has the ring position fields
  bool m_HasPublished = false;              // ... and the published word
  mutable bool m_PositionsLost = false;     // a fault met on them (worker, then destructor)
  std::atomic<bool> m_WakeWordLost{false};  // a fault or futex failure on it: sleep on m_Stop
  uint32_t m_ReadAt = 0;                    // the ring's read position at the current drain (worker)
  uint64_t m_Taken = 0;                     // records taken from the ring (worker, then destructor)
  bool m_DamageTold = false;                // worker, then destructor
  // Where the last drain that ended at a published word left the ring, and
  // the client's count of records written there (worker): the records of the
  // next such drain are counted by difference, not walked.
  static constexpr uint32_t kNotCounted = ~uint32_t{0};
  uint32_t m_CountedTo = kNotCounted;
  uint32_t m_CountedWritten = 0;
};
