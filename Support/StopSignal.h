#pragma once
// A stop request that a periodic thread sleeps on: the thread waits its whole
// period in one blocking wait and is woken at once when stop is requested, so
// an idle thread costs one wake-up per period and stopping it does not wait
// out the period.
//
// Any thread may request; any number of threads may wait. Once requested it
// stays requested. The flag is also readable as a plain atomic for code that
// only polls (Flag()). The mutex guards nothing but the hand-over between a
// request and a waiter about to sleep.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Request() {
    {
      // Set under the mutex: a waiter that has checked the flag but not yet
      // slept cannot miss the notification.
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Requested.store(true, std::memory_order_release);
    }
    m_Wake.notify_all();
  }
  bool IsRequested() const { return m_Requested.load(std::memory_order_acquire); }
  const std::atomic<bool>& Flag() const { return m_Requested; }

  // Sleeps `periodMs` or until a stop request; true when stop was requested.
  bool WaitFor(uint32_t periodMs) {
    if (IsRequested()) return true;
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Wake.wait_for(lock, std::chrono::milliseconds(periodMs), [this] { return IsRequested(); });
  }

 private:
  std::atomic<bool> m_Requested{false};
  std::mutex m_Mutex;
  std::condition_variable m_Wake;
};
