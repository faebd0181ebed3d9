#pragma once
// What each tracing thread keeps of its own: the records it wrote and
// dropped, and its writes in flight through the process's trace output
// (KivTraceOutput, in two phases). Per thread so that a record costs no
// locked instruction on a cache line other threads write too; the
// process-wide figures are sums over the threads.
//
// A thread's State lives in its thread storage (nothing is allocated) and
// is registered in the process's list on its first record; at the thread's
// exit its counts are added to the totals of the threads gone and it is
// unlinked (a thread-specific key's destructor). Only the owning
// thread changes its counts (a load and a store, no locked instruction);
// any thread may read them. The list (links, totals of the threads gone) is
// guarded by a flag rather than a mutex, so that a forked child can simply
// clear it: the child starts with its forking thread alone, counts of 0 and
// nothing in flight.

#include <atomic>
#include <cstdint>

namespace TracingThread {

struct State {
  std::atomic<uint64_t> m_Written{0};
  std::atomic<uint64_t> m_Dropped{0};
  // Writes in flight through the trace output, per phase (KivTraceOutput.cpp).
  std::atomic<uint32_t> m_InFlight[2] = {0, 0};
  bool m_Registered = false;  // changed by the owning thread only
  State* m_Next = nullptr;    // guarded by the list's flag
};

// Initial-exec: read on every record, without a call to find the block.
inline __attribute__((tls_model("initial-exec"))) thread_local State t_State;

// Registers the calling thread's State.
void Register() noexcept;

// The calling thread's State.
inline State& Self() noexcept {
  if (!t_State.m_Registered) [[unlikely]]
    Register();
  return t_State;
}

// One more in a count only the calling thread changes.
inline void Step(std::atomic<uint64_t>& count) noexcept {
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

struct Totals {
  uint64_t m_Written = 0;
  uint64_t m_Dropped = 0;
};
// The counts of every thread the process had (since it was forked).
Totals Sum() noexcept;

// True while any thread has a write in flight in `phase`.
bool AnyInFlight(uint32_t phase) noexcept;

// Clears every count and the list of a forked child but its own thread.
void ResetInChild() noexcept;

}  // namespace TracingThread
