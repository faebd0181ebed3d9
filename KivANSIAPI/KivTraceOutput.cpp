#include "KivANSIAPI/KivTraceOutput.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <mutex>
#include <new>

namespace {

// The published writer, and counts of the tracing threads that may be using
// a writer, in two phases. A tracing thread joins the current phase (and
// checks it is still current after joining), and only then loads the
// pointer. A retraction clears the pointer, opens the other phase and waits
// for the old phase to empty: threads arriving meanwhile join the new phase
// and find the pointer cleared, so the wait ends even while other threads
// keep tracing. All accesses are sequentially consistent.
std::atomic<TraceRecordSink*> s_Current{nullptr};
std::atomic<uint32_t> s_Phase{0};
std::atomic<uint32_t> s_InFlight[2] = {0, 0};
// Serialises publications and retractions (the service monitor's thread
// makes them; tracing threads never take it).
std::mutex s_ChangeLock;

uint32_t JoinPhase() {
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
void ForgetInChild() {
  s_Current.store(nullptr);
  s_InFlight[0].store(0);
  s_InFlight[1].store(0);
  new (&s_ChangeLock) std::mutex();
}

void RegisterForkHandlerOnce() {
  static const bool registered = pthread_atfork(nullptr, nullptr, ForgetInChild) == 0;
  (void)registered;
}

}  // namespace

KivTraceOutput::Publication::Publication(std::unique_ptr<TraceRecordSink> sink) : m_Sink(std::move(sink)) {
  RegisterForkHandlerOnce();
  std::lock_guard<std::mutex> guard(s_ChangeLock);
  s_Current.store(m_Sink.get());
}

KivTraceOutput::Publication::~Publication() {
  std::lock_guard<std::mutex> guard(s_ChangeLock);
  // When another publication replaced this one the slot is not ours to
  // clear; a thread that loaded our pointer earlier may still use it, so
  // the wait is needed either way.
  if (s_Current.load() == m_Sink.get()) s_Current.store(nullptr);
  const uint32_t old = s_Phase.fetch_add(1) & 1;
  while (s_InFlight[old].load() != 0) sched_yield();
}

bool KivTraceOutput::Write(std::string_view module, std::string_view label, const std::string_view* client,
                           std::string_view text) noexcept {
  const uint32_t phase = JoinPhase();
  TraceRecordSink* writer = s_Current.load();
  bool written = false;
  if (writer) {
    written = writer->Write(module, label, client, text);
  } else {
    TraceRecordWriting::Count(false);
  }
  s_InFlight[phase].fetch_sub(1);
  return written;
}

bool KivTraceOutput::IsAvailable() noexcept { return s_Current.load(std::memory_order_acquire) != nullptr; }
