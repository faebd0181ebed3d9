#pragma once
// A stop request that a periodic thread sleeps on: the thread waits its whole
// period in one blocking wait and is woken at once when stop is requested, so
// an idle thread costs one wake-up per period and stopping it does not wait
// out the period. Wake() ends one wait early without stopping (a watcher
// that found work for the thread).
//
// Any thread may request or wake; one thread waits. Once requested it stays
// requested. The flag is also readable as a plain atomic for code that only
// polls (Flag()). The mutex guards the wake-up flag and the hand-over between
// a request and a waiter about to sleep.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <utility>

#include "Support/Mutex.h"

class StopSignal {
 public:
  enum class Waited { Stop, Woken, Timeout };

  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Request() {
    {
      // Set under the mutex: a waiter that has checked the flag but not yet
      // slept cannot miss the notification.
      MutexLock lock(m_Mutex);
      m_Requested.store(true, std::memory_order_release);
    }
    m_Wake.notify_all();
  }
  void Wake() {
    {
      MutexLock lock(m_Mutex);
      m_Woken = true;
    }
    m_Wake.notify_all();
  }
  bool IsRequested() const { return m_Requested.load(std::memory_order_acquire); }
  // Whether Wake() was called since the last wait (or take), clearing it:
  // for a thread that sleeps on something else and looks here before.
  bool TakeWake() {
    MutexLock lock(m_Mutex);
    return std::exchange(m_Woken, false);
  }
  const std::atomic<bool>& Flag() const { return m_Requested; }

  // Sleeps `periodMs` or until a stop request; true when stop was requested.
  bool WaitFor(uint32_t periodMs) { return Wait(periodMs) == Waited::Stop; }
  // The same, also ended by Wake() (or a Wake() since the last wait).
  Waited Wait(uint32_t periodMs) {
    MutexLock lock(m_Mutex);
    const bool ended = m_Wake.wait_for(lock.Unique(), std::chrono::milliseconds(periodMs),
                                       [this]() REQUIRES(m_Mutex) { return IsRequested() || m_Woken; });
    m_Woken = false;
    if (IsRequested()) return Waited::Stop;
    return ended ? Waited::Woken : Waited::Timeout;
  }

 private:
  std::atomic<bool> m_Requested{false};
  bool m_Woken GUARDED_BY(m_Mutex) = false;
  Mutex m_Mutex;
  std::condition_variable m_Wake;
};
