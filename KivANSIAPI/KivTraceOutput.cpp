#include "KivANSIAPI/KivTraceOutput.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "KivService/KivServiceClient.h"

namespace {

// The published writer, and counts of the tracing threads that may be using
// a writer, in two phases. A tracing thread joins the current phase (and
// checks it is still current after joining), and only then loads the
// pointer. A retraction clears the pointer, opens the other phase and waits
// for the old phase to empty: threads arriving meanwhile join the new phase
// and find the pointer cleared, so the wait ends even while other threads
// keep tracing. The counts are each thread's own (TracingThread), so that a
// record moves no cache line between cores; leaving is a release store.
// Joining must precede the loads that follow it: a sequentially consistent
// store, or, once the process is registered for expedited membarrier, a
// plain store with the retraction forcing a full fence on every thread
// (membarrier) before it looks at the counts.
std::atomic<TraceRecordSink*> s_Current{nullptr};
// Set while one writer's records are carried over to the next: a tracing
// thread that finds no writer then waits for the new one (the carrying is a
// copy in memory) instead of dropping its record.
std::atomic<bool> s_Switching{false};
// Set while the published writer belongs to a dispatcher that died (its
// ring is kept for the next registration): records still go somewhere, but
// the process is not registered.
std::atomic<bool> s_Orphaned{false};
std::atomic<uint32_t> s_Phase{0};
// Set (by the first publication) when the process is registered for
// expedited private membarrier; cleared only in a forked child that cannot
// register again, before it has other threads.
std::atomic<bool> s_Asymmetric{false};
// Serialises publications and retractions (the service monitor's thread
// makes them; tracing threads never take it). A flag rather than a mutex: a
// forked child may inherit it held by a thread the child does not have, and
// a flag can simply be cleared there.
std::atomic<bool> s_Changing{false};

class ChangeGuard {
 public:
  ChangeGuard() {
    while (s_Changing.exchange(true, std::memory_order_acquire)) sched_yield();
  }
  ~ChangeGuard() { s_Changing.store(false, std::memory_order_release); }
  ChangeGuard(const ChangeGuard&) = delete;
  ChangeGuard& operator=(const ChangeGuard&) = delete;
};

// Only the calling thread changes its own counts: a load and a store each.
uint32_t JoinPhase(TracingThread::State& self) {
  for (;;) {
    const uint32_t phase = s_Phase.load() & 1;
    std::atomic<uint32_t>& inFlight = self.m_InFlight[phase];
    const uint32_t was = inFlight.load(std::memory_order_relaxed);
    if (s_Asymmetric.load(std::memory_order_acquire)) {
      inFlight.store(was + 1, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
      inFlight.store(was + 1);
    }
    if ((s_Phase.load() & 1) == phase) return phase;
    inFlight.store(was, std::memory_order_release);
  }
}
void LeavePhase(TracingThread::State& self, uint32_t phase) {
  std::atomic<uint32_t>& inFlight = self.m_InFlight[phase];
  inFlight.store(inFlight.load(std::memory_order_relaxed) - 1, std::memory_order_release);
}

bool RegisterForMembarrier() {
  return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

// The child of a fork runs the forking thread only: nothing is in flight
// there (TracingThread clears the counts), and the inherited writer belongs
// to the parent. The change flag may have been set by a thread that does
// not exist in the child; the membarrier registration is made again.
void ForgetInChild() {
  if (s_Asymmetric.load() && !RegisterForMembarrier()) s_Asymmetric.store(false);
  s_Current.store(nullptr);
  s_Switching.store(false);
  s_Orphaned.store(false);
  s_Changing.store(false);
}

void RegisterForkHandlerOnce() {
  static const bool registered = pthread_atfork(nullptr, nullptr, ForgetInChild) == 0;
  (void)registered;
}

// What service clients publish through: a writer over the client's ring.
class ServiceClientPublisher final : public TraceOutputPublisher {
 public:
  std::unique_ptr<Publication> Publish(KivServiceClient& client) override {
    return std::make_unique<KivTraceOutput::Publication>(client);
  }
  void MarkOrphaned() override { s_Orphaned.store(true); }
  void SetSwitching(bool switching) override { s_Switching.store(switching); }
  uint64_t TakeUnpublishedDrops() override { return TraceRecordWriting::TakeUnpublishedDrops(); }
};

}  // namespace

KivTraceOutput::Publication::Publication(std::unique_ptr<TraceRecordSink> sink) : m_Sink(std::move(sink)) {
  RegisterForkHandlerOnce();
  ChangeGuard guard;
  // Before the writer is seen: a thread that finds the flag set relies on
  // every later retraction's membarrier. Without it (an old kernel, a
  // filter on system calls) joining keeps its own fence.
  if (!s_Asymmetric.load() && RegisterForMembarrier()) s_Asymmetric.store(true);
  s_Current.store(m_Sink.get());
  s_Orphaned.store(false);
}

KivTraceOutput::Publication::~Publication() {
  ChangeGuard guard;
  // When another publication replaced this one the slot is not ours to
  // clear; a thread that loaded our pointer earlier may still use it, so
  // the wait is needed either way.
  if (s_Current.load() == m_Sink.get()) s_Current.store(nullptr);
  const uint32_t old = s_Phase.fetch_add(1) & 1;
  // Registered, this does not fail; should it, a store left in a core's
  // store buffer is drained long before a millisecond has passed.
  if (s_Asymmetric.load() && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (TracingThread::AnyInFlight(old)) sched_yield();
}

TraceOutputPublisher& KivTraceOutput::Publisher() noexcept {
  // Never destroyed: service clients may retract their publication during
  // the process's exit.
  static ServiceClientPublisher* const publisher = new ServiceClientPublisher;
  return *publisher;
}

bool KivTraceOutput::Write(std::string_view module, std::string_view label, const std::string_view* client,
                           std::string_view text) noexcept {
  TraceRecordWriting::Image image;
  TraceRecordWriting::Build(image, module, label, client, text);
  return Write(image);
}

bool KivTraceOutput::Write(TraceRecordWriting::Image& image) noexcept {
  TracingThread::State& self = TracingThread::Self();
  uint32_t phase = JoinPhase(self);
  TraceRecordSink* writer = s_Current.load();
  while (!writer && s_Switching.load()) {
    // Never waits inside a phase: the switch itself waits for the phase.
    LeavePhase(self, phase);
    sched_yield();
    phase = JoinPhase(self);
    writer = s_Current.load();
  }
  bool written = false;
  if (writer) {
    written = writer->Write(image);
  } else {
    TraceRecordWriting::CountUnpublishedDrop();
  }
  LeavePhase(self, phase);
  return written;
}

bool KivTraceOutput::IsAvailable() noexcept {
  return s_Current.load(std::memory_order_acquire) != nullptr && !s_Orphaned.load(std::memory_order_acquire);
}

bool KivTraceOutput::HasWriter() noexcept {
  return s_Current.load(std::memory_order_acquire) != nullptr || s_Switching.load(std::memory_order_acquire);
}
