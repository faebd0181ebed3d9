#pragma once
// The process's current trace output: the record writer over the trace ring
// of the present registration with the dispatcher, or none.
//
// Whoever holds the service client publishes a writer over its ring for
// exactly as long as the registration lasts, by holding a Publication:
//
//   auto output = std::make_unique<KivTraceOutput::Publication>(*serviceClient);
//   ...
//   output.reset();   // before the service client is destroyed
//
// Tracing threads write through KivTraceOutput::Write without any lock that
// the dispatcher or the service monitor could hold for long: the slot is an
// atomic pointer plus counts of writes in flight. Retracting a publication
// waits only for the writes already under way (each is one ring copy).
//
// In a forked child the slot starts empty: the child must not write into its
// parent's ring (the records would carry the parent's process id, and the
// parent's threads would not be serialised with it).

#include <sched.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "KivANSIAPI/TraceRecordWriter.h"

class KivTraceOutput {
 public:
  // Publishes a TraceRecordWriter over `target` (see TraceRecordWriter.h;
  // the target must outlive this object) as the process's trace output; the
  // destructor retracts it and waits for the writes under way. One
  // publication at a time: a second one replaces the first until either is
  // destroyed.
  class Publication {
   public:
    template <class Target>
    explicit Publication(Target& target) : Publication(std::make_unique<TraceRecordWriter<Target>>(target)) {}
    explicit Publication(std::unique_ptr<TraceRecordSink> sink);
    ~Publication();
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

   private:
    std::unique_ptr<TraceRecordSink> m_Sink;
  };

  // Writes one record through the current output (see
  // TraceRecordSink::Write). Without an output the record is dropped and
  // counted. Never raises, never blocks on the dispatcher.
  static bool Write(std::string_view module, std::string_view label, const std::string_view* client,
                    std::string_view text) noexcept;

  // True while an output of a registration with a running dispatcher is
  // published.
  static bool IsAvailable() noexcept;
  // True while any writer is published, an orphaned one included.
  static bool HasWriter() noexcept;
};

// Inline, so that the service client below the API library can publish
// its ring without linking to it.
namespace KivTraceOutputSlot {

// The published writer, and counts of the tracing threads that may be using
// a writer, in two phases. A tracing thread joins the current phase (and
// checks it is still current after joining), and only then loads the
// pointer. A retraction clears the pointer, opens the other phase and waits
// for the old phase to empty: threads arriving meanwhile join the new phase
// and find the pointer cleared, so the wait ends even while other threads
// keep tracing. All accesses are sequentially consistent.
inline std::atomic<TraceRecordSink*> s_Current{nullptr};
// Set while one writer's records are carried over to the next: a tracing
// thread that finds no writer then waits for the new one (the carrying is a
// copy in memory) instead of dropping its record.
inline std::atomic<bool> s_Switching{false};
// Set while the published writer belongs to a dispatcher that died (its
// ring is kept for the next registration): records still go somewhere, but
// the process is not registered.
inline std::atomic<bool> s_Orphaned{false};
inline std::atomic<uint32_t> s_Phase{0};
inline std::atomic<uint32_t> s_InFlight[2] = {0, 0};
// Serialises publications and retractions (the service monitor's thread
// makes them; tracing threads never take it).
inline std::mutex s_ChangeLock;

inline uint32_t JoinPhase() {
  for (;;) {
    const uint32_t phase = s_Phase.load() & 1;
    s_InFlight[phase].fetch_add(1);
    if ((s_Phase.load() & 1) == phase) return phase;
    s_InFlight[phase].fetch_sub(1);
  }
}

// The child of a fork runs the forking thread only: nothing is in flight
// there, and the inherited writer belongs to the parent. The change lock
// may have been held by a thread that does not exist in the child.
inline void ForgetInChild() {
  s_Current.store(nullptr);
  s_Switching.store(false);
  s_Orphaned.store(false);
  s_InFlight[0].store(0);
  s_InFlight[1].store(0);
  new (&s_ChangeLock) std::mutex();
}

inline void RegisterForkHandlerOnce() {
  static const bool registered = pthread_atfork(nullptr, nullptr, ForgetInChild) == 0;
  (void)registered;
}

}  // namespace KivTraceOutputSlot

inline KivTraceOutput::Publication::Publication(std::unique_ptr<TraceRecordSink> sink)
    : m_Sink(std::move(sink)) {
  KivTraceOutputSlot::RegisterForkHandlerOnce();
  std::lock_guard<std::mutex> guard(KivTraceOutputSlot::s_ChangeLock);
  KivTraceOutputSlot::s_Current.store(m_Sink.get());
  KivTraceOutputSlot::s_Orphaned.store(false);
}

inline KivTraceOutput::Publication::~Publication() {
  std::lock_guard<std::mutex> guard(KivTraceOutputSlot::s_ChangeLock);
  // When another publication replaced this one the slot is not ours to
  // clear; a thread that loaded our pointer earlier may still use it, so
  // the wait is needed either way.
  if (KivTraceOutputSlot::s_Current.load() == m_Sink.get()) KivTraceOutputSlot::s_Current.store(nullptr);
  const uint32_t old = KivTraceOutputSlot::s_Phase.fetch_add(1) & 1;
  while (KivTraceOutputSlot::s_InFlight[old].load() != 0) sched_yield();
}

inline bool KivTraceOutput::Write(std::string_view module, std::string_view label,
                                  const std::string_view* client, std::string_view text) noexcept {
  uint32_t phase = KivTraceOutputSlot::JoinPhase();
  TraceRecordSink* writer = KivTraceOutputSlot::s_Current.load();
  while (!writer && KivTraceOutputSlot::s_Switching.load()) {
    // Never waits inside a phase: the switch itself waits for the phase.
    KivTraceOutputSlot::s_InFlight[phase].fetch_sub(1);
    sched_yield();
    phase = KivTraceOutputSlot::JoinPhase();
    writer = KivTraceOutputSlot::s_Current.load();
  }
  bool written = false;
  if (writer) {
    written = writer->Write(module, label, client, text);
  } else {
    TraceRecordWriting::CountUnpublishedDrop();
  }
  KivTraceOutputSlot::s_InFlight[phase].fetch_sub(1);
  return written;
}

inline bool KivTraceOutput::IsAvailable() noexcept {
  return KivTraceOutputSlot::s_Current.load(std::memory_order_acquire) != nullptr &&
         !KivTraceOutputSlot::s_Orphaned.load(std::memory_order_acquire);
}

inline bool KivTraceOutput::HasWriter() noexcept {
  return KivTraceOutputSlot::s_Current.load(std::memory_order_acquire) != nullptr ||
         KivTraceOutputSlot::s_Switching.load(std::memory_order_acquire);
}
