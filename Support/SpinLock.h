#pragma once
// A lock for sections of a few dozen nanoseconds taken at a high rate (a
// trace call's write into its ring): taking it free is one atomic exchange
// and releasing it one plain store, where a mutex costs two locked
// instructions and two calls. A waiter spins a little, then yields the
// processor and now and then sleeps, so a holder preempted inside its
// section costs the waiters their time slices, never progress. Not for
// sections that block or run long, and not to be taken again by its holder
// (a signal handler included).

#include <sched.h>
#include <time.h>

#include <atomic>

#include "Support/ThreadAnnotations.h"

class CAPABILITY("mutex") SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void Lock() ACQUIRE() {
    if (!m_Held.exchange(true, std::memory_order_acquire)) return;
    LockContended();
  }
  void Unlock() RELEASE() { m_Held.store(false, std::memory_order_release); }

 private:
  [[gnu::noinline]] void LockContended() {
    constexpr int kSpins = 64;
    constexpr unsigned kYieldsPerSleep = 16;
    for (unsigned round = 1;; ++round) {
      for (int i = 0; i < kSpins; ++i) {
        // Read first: a failed exchange would take the line from the holder.
        if (!m_Held.load(std::memory_order_relaxed) && !m_Held.exchange(true, std::memory_order_acquire))
          return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      }
      // Now and then a short sleep instead: a yielding real-time waiter
      // would never let a holder of lower priority on its processor run.
      if (round % kYieldsPerSleep == 0) {
        timespec nap{0, 50000};
        nanosleep(&nap, nullptr);
      } else {
        sched_yield();
      }
    }
  }

  std::atomic<bool> m_Held{false};
};
