#pragma once
// Calls T::Worker() on its own thread, first at once and then every period
// (the period is the sleep between calls). Destruction is the only way to
// stop it: it wakes the sleeping thread and waits for a call in progress. A
// target that raises is called again at the next period.

#include <cstdint>
#include <memory>

#include "Support/Logging.h"
#include "Support/MultithreadizedObject.h"
#include "Support/StopSignal.h"

template <class T, bool Joinable = true>
class TimerClassMemberFunction {
 public:
  TimerClassMemberFunction(T& target, uint32_t periodMs) : m_Target(&target), m_Helper(target, periodMs) {
    m_Thread = std::make_unique<MultithreadizedObject<Helper, Joinable>>(m_Helper);
  }
  virtual ~TimerClassMemberFunction() {
    m_Helper.stop.Request();
    m_Thread.reset();
  }
  TimerClassMemberFunction(const TimerClassMemberFunction&) = delete;
  TimerClassMemberFunction& operator=(const TimerClassMemberFunction&) = delete;

  T* Target() const { return m_Target; }

  struct Helper {
    Helper(T& t, uint32_t periodMs) : target(&t), period(periodMs) {}
    StopSignal stop;
    T* target;
    uint32_t period;

    void Worker() {
      while (!stop.IsRequested()) {
        try {
          target->Worker();
        } catch (...) {
          KIV_DIAG_NOTHROW("TimerClassMemberFunction: Exception happened in user function, Ignored.\n");
        }
        // One wait per period, cut short by destruction.
        if (stop.WaitFor(period)) break;
      }
    }
  };

 private:
  T* m_Target;
  Helper m_Helper;
  std::unique_ptr<MultithreadizedObject<Helper, Joinable>> m_Thread;
};
