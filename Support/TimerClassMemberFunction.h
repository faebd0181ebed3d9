#pragma once
// Calls T::Worker() on its own thread, first at once and then every period
// (the period is the sleep between calls). Destruction is the only way to
// stop it: it waits for a call in progress. A target that raises is called
// again at the next period.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "Support/Logging.h"
#include "Support/MultithreadizedObject.h"

template <class T, bool Joinable = true>
class TimerClassMemberFunction {
 public:
  TimerClassMemberFunction(T& target, uint32_t periodMs) : m_Target(&target), m_Helper(target, periodMs) {
    m_Thread = std::make_unique<MultithreadizedObject<Helper, Joinable>>(m_Helper);
  }
  virtual ~TimerClassMemberFunction() {
    m_Helper.stop.store(true, std::memory_order_release);
    m_Thread.reset();
  }
  TimerClassMemberFunction(const TimerClassMemberFunction&) = delete;
  TimerClassMemberFunction& operator=(const TimerClassMemberFunction&) = delete;

  T* Target() const { return m_Target; }

  struct Helper {
    Helper(T& t, uint32_t periodMs) : target(&t), period(periodMs) {}
    std::atomic<bool> stop{false};
    T* target;
    uint32_t period;

    void Worker() {
      while (!stop.load(std::memory_order_acquire)) {
        try {
          target->Worker();
        } catch (...) {
          KIV_DIAG_NOTHROW("TimerClassMemberFunction: Exception happened in user function, Ignored.\n");
        }
        if (stop.load(std::memory_order_acquire)) break;
        // Sleep in short slices so that destruction does not wait a whole
        // long period (the status timer runs every second).
        for (uint32_t slept = 0; slept < period && !stop.load(std::memory_order_acquire);) {
          uint32_t slice = period - slept < 20 ? period - slept : 20;
          usleep(slice * 1000);
          slept += slice;
        }
      }
    }
  };

 private:
  T* m_Target;
  Helper m_Helper;
  std::unique_ptr<MultithreadizedObject<Helper, Joinable>> m_Thread;
};
