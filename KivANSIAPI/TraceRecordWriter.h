#pragma once
// Writes the trace records of one process into its trace ring.
//
// One record is one all-or-nothing ring write made while holding the ring's
// in-process mutex, so the ring only ever holds whole records and the
// dispatcher can drain any prefix of it as a block. The record's sequence
// number is taken from the shared counter (atomic fetch-and-add) inside that
// mutex, after the record is known to fit: within the ring, numbers ascend in
// write order, and a dropped record uses up no number.
//
// Nothing on the write path allocates: the record is built in a stack buffer
// of the largest record size, outside the mutex. Writing never raises and
// never waits for the dispatcher; a record that does not fit (or meets a
// damaged ring header) is dropped and counted.
//
// The ring, its mutex and the numbers belong to a `Target` (in a client
// process the KivServiceClient of the current registration) offering
//   CircularMemoryOutputStream& TraceRing();
//   Lock& TraceRingLock();   // guards TraceRing() (Lock() and Unlock())
//   uint32_t NextSequenceNumber();                 // shared atomic counter
// or, for a counter in a shared file another process may cut,
//   KivRecordSequenceGenerator& SequenceNumbers();
// and optionally ClientLossCounters* LossCounters() (null: none), where
// every dropped record is told to the dispatcher, and every record put into
// the ring counted (ClientLossCounters.h); a record the dispatcher waits for
// wakes it there, after the lock is left (one system call, never a wait).
// The writer borrows the target, which must outlive it.
//
// The counters of written and dropped records are process-wide (all writers
// the process had, across dispatcher restarts) and start again from 0 in a
// forked child.

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "KivANSIAPI/TracingThread.h"
#include "KivService/ClientLossCounters.h"
#include "MemoryStream/CircularMemoryOutputStream.h"
#include "Support/AutoSync.h"
#include "Support/MappedAccess.h"
#include "TraceData/TraceRecordBuilder.h"

namespace TraceRecordWriting {
struct Image;
}

// One record's destination, as the process-wide trace output sees it.
class TraceRecordSink {
 public:
  virtual ~TraceRecordSink() = default;
  // Writes one record built by TraceRecordWriting (Build, or Begin and End),
  // numbering it. Returns true when the record is in the ring, false when it
  // was dropped.
  virtual bool Write(TraceRecordWriting::Image& image) noexcept = 0;
  // Builds and writes one record: Timestamp (now), ThreadId (the calling
  // kernel thread), ModuleName, LabelName, ClientName when `client` is not
  // null, MessageText. Texts longer than a packet holds are cut.
  bool Write(std::string_view module, std::string_view label, const std::string_view* client,
             std::string_view text) noexcept;
};

// What every writer shares: the record image, the counters, the thread id.
// Inline: every record written takes this path.
namespace TraceRecordWriting {

// A record built with sequence number 0, to be numbered under the lock.
struct Image {
  // One byte more than the longest record: a formatter's terminator after
  // the longest message.
  uint8_t m_Bytes[TraceRecordBuilder::kMaxRecordSize + 1];
  uint32_t m_Size = 0;
  void SetSequenceNumber(uint32_t sequence) {
    // After the header byte, the 2-byte identifier and the 4-byte length.
    std::memcpy(m_Bytes + 7, &sequence, sizeof sequence);
  }
};

struct Statistics {
  uint64_t m_Written = 0;
  uint64_t m_Dropped = 0;
};

// Records dropped while no writer was published: the next registration
// takes them over (TakeUnpublishedDrops) and tells them.
inline std::atomic<uint64_t> s_DroppedUnpublished{0};
// Initial-exec: read on every record, without a call to find the block.
inline __attribute__((tls_model("initial-exec"))) thread_local uint32_t t_ThreadId = 0;

// A forked child starts with the forking thread only, under a new kernel id,
// and owes nothing of its parent's counts (TracingThread resets its own).
inline void ResetInChild() {
  t_ThreadId = 0;
  s_DroppedUnpublished.store(0, std::memory_order_relaxed);
}
inline void RegisterForkHandlerOnce() {
  static const bool registered = pthread_atfork(nullptr, nullptr, ResetInChild) == 0;
  (void)registered;
}

// Kernel id of the calling thread, cached per thread (and refreshed in a
// forked child, whose thread has a new id).
inline uint32_t CurrentThreadId() noexcept {
  if (t_ThreadId == 0) {
    RegisterForkHandlerOnce();
    t_ThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
  }
  return t_ThreadId;
}

// Records written and dropped by this process so far.
inline Statistics GetStatistics() noexcept {
  const TracingThread::Totals totals = TracingThread::Sum();
  return Statistics{totals.m_Written, totals.m_Dropped};
}
// Counted per thread (TracingThread): no locked instruction per record.
inline void Count(bool written) noexcept {
  TracingThread::State& self = TracingThread::Self();
  TracingThread::Step(written ? self.m_Written : self.m_Dropped);
}
inline void CountUnpublishedDrop() noexcept {
  Count(false);
  s_DroppedUnpublished.fetch_add(1, std::memory_order_relaxed);
}
inline uint64_t TakeUnpublishedDrops() noexcept { return s_DroppedUnpublished.exchange(0); }

inline TraceRecordFields Fields(std::string_view module, std::string_view label,
                                const std::string_view* client) noexcept {
  TraceRecordFields fields;
  fields.m_Timestamp = TraceTimestamp::Now();
  fields.m_ThreadId = CurrentThreadId();
  fields.m_ModuleName = module;
  fields.m_LabelName = label;
  fields.m_HasClientName = client != nullptr;
  if (client) fields.m_ClientName = *client;
  return fields;
}

// The record of a trace call now, on the calling thread (see
// TraceRecordSink::Write).
inline void Build(Image& image, std::string_view module, std::string_view label,
                  const std::string_view* client, std::string_view text) noexcept {
  TraceRecordFields fields = Fields(module, label, client);
  fields.m_MessageText = text;
  // Never 0: the image holds the longest record there is.
  image.m_Size = TraceRecordBuilder::BuildRecord(fields, image.m_Bytes, sizeof image.m_Bytes);
}

// The same record with its message put in place by the caller: Begin
// returns where the message goes, with room for kMaxDataLength bytes and a
// terminator; End takes the message's length (cut to kMaxDataLength).
inline uint32_t Begin(Image& image, std::string_view module, std::string_view label,
                      const std::string_view* client) noexcept {
  return TraceRecordBuilder::BeginRecord(Fields(module, label, client), image.m_Bytes);
}
inline void End(Image& image, uint32_t textOffset, uint32_t textLength) noexcept {
  image.m_Size = TraceRecordBuilder::EndRecord(0, image.m_Bytes, textOffset, textLength);
}

}  // namespace TraceRecordWriting

inline bool TraceRecordSink::Write(std::string_view module, std::string_view label,
                                   const std::string_view* client, std::string_view text) noexcept {
  TraceRecordWriting::Image image;
  TraceRecordWriting::Build(image, module, label, client, text);
  return Write(image);
}

template <class Target>
class TraceRecordWriter final : public TraceRecordSink {
 public:
  explicit TraceRecordWriter(Target& target) : m_Target(target) {}
  TraceRecordWriter(const TraceRecordWriter&) = delete;
  TraceRecordWriter& operator=(const TraceRecordWriter&) = delete;

  using TraceRecordSink::Write;
  bool Write(TraceRecordWriting::Image& image) noexcept override {
    bool written = false;
    // A ring cut under us once stays unused: its client was dropped, and a
    // fault per record would cost more than the record.
    if (m_RingLost.load(std::memory_order_relaxed)) {
      TraceRecordWriting::Count(false);
      return false;
    }
    // Whether the record was the ring's first, or took it past half full, or
    // found it full: the dispatcher may wait for that
    // (ClientLossCounters::WakeDrainer).
    bool first = false, half = false;
    try {
      using Lock = std::remove_reference_t<decltype(m_Target.TraceRingLock())>;
      AutoSync<Lock> guard(m_Target.TraceRingLock());
      CircularMemoryOutputStream& ring = m_Target.TraceRing();
      uint32_t room = 0, sequence = 0;
      // Puts the numbered record into the ring and counts it.
      auto put = [&] {
        written = ring.write(image.m_Bytes, image.m_Size);
        if (written) {
          m_GapAfter = uint64_t{sequence} + 1;
          const uint32_t stored = ring.Capacity() - 1 - room, halfway = ring.Capacity() / 2;
          first = stored == 0;
          half = stored <= halfway && stored + image.m_Size > halfway;
        }
        // Counted for a ring the dispatcher may find damaged. (A
        // counters file cut short faults here, and the ring goes too.)
        if constexpr (kTellsLosses) {
          if (ClientLossCounters* counters = m_Target.LossCounters(); counters && written) {
            auto count = ClientLossCounters::Field(counters->m_Written);
            const uint64_t now = count.load(std::memory_order_relaxed) + 1;
            count.store(now, std::memory_order_relaxed);
            ClientLossCounters::Field(counters->m_Published)
                .store(ClientLossCounters::Published(now, ring.WrittenTo()), std::memory_order_release);
          }
        }
      };
      // Only this process adds to the ring, under this lock, and the reader
      // only frees room: a record that fits now still fits at the write.
      // Guarded: a group member may truncate the ring's file under us; the
      // record is then lost, never the process. One guard for the whole
      // record: a fault on the shared sequence word (kNumbering) costs only
      // the number, which is taken again outside, and the record is put in
      // a second step; any other fault loses the ring.
      enum Stage : int { kChecking, kNumbering, kPutting };
      volatile int stage = kChecking;  // read after a fault ended the step
      bool stepDone = MappedAccess::Run([&] {
        room = ring.GetFreeRoom();
        half = room < image.m_Size;  // full: a wake-up missed must not go on
        if (half) return;
        stage = kNumbering;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        sequence = TakeNumber(true);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        stage = kPutting;
        image.SetSequenceNumber(sequence);
        put();
      });
      if (!stepDone && stage == kNumbering) {
        sequence = TakeNumber(false);
        image.SetSequenceNumber(sequence);
        stepDone = MappedAccess::Run(put);
      }
      if (!stepDone) m_RingLost.store(true, std::memory_order_relaxed);
      // Told to the dispatcher, which writes the loss where it happened.
      if constexpr (kTellsLosses) {
        if (!written)
          if (ClientLossCounters* counters = m_Target.LossCounters())
            MappedAccess::Run([&] { counters->NoteDropped(1, m_GapAfter); });
      }
    } catch (...) {
      // A damaged ring header (the region is writable by other processes)
      // or a failing lock: the record is lost, the caller carries on.
      written = false;
    }
    // Outside the lock: a wake-up's system call holds up no other writer.
    if constexpr (kTellsLosses) {
      if (first || half)
        if (ClientLossCounters* counters = m_Target.LossCounters()) counters->WakeDrainer(first, half);
    }
    TraceRecordWriting::Count(written);
    return written;
  }

 private:
  static constexpr bool kTellsLosses = requires(Target & t) {
    { t.LossCounters() } -> std::same_as<ClientLossCounters*>;
  };
  // A target whose numbers come from a shared word another process may cut
  // offers them for the writer's own guarded step.
  static constexpr bool kNumbersInStep = requires(Target & t) {
    { t.SequenceNumbers().NextInStep() } -> std::same_as<uint32_t>;
  };

  // The record's number: inside the guarded step (`inStep`), or after a
  // fault on the shared word ended it.
  uint32_t TakeNumber(bool inStep) {
    if constexpr (kNumbersInStep) {
      return inStep ? m_Target.SequenceNumbers().NextInStep() : m_Target.SequenceNumbers().AfterFault();
    } else {
      return m_Target.NextSequenceNumber();
    }
  }

  Target& m_Target;
  std::atomic<bool> m_RingLost{false};  // set by the first fault on the ring
  uint64_t m_GapAfter = 0;              // under the ring lock: 1 + the last number written
};
