#pragma once
// Scoped lock over any policy with Lock() and Unlock()
// (CriticalSectionSyncPolicy, InterProcessLock); the policy holds from
// construction to destruction as far as the thread-safety analysis is concerned.

#include "Support/ThreadAnnotations.h"

template <class Policy>
class SCOPED_CAPABILITY AutoSync {
 public:
  explicit AutoSync(Policy& policy) ACQUIRE(policy) : m_Policy(policy) { m_Policy.Lock(); }
  virtual ~AutoSync() RELEASE() {
    try {
      m_Policy.Unlock();
    } catch (...) {
    }
  }
  AutoSync(const AutoSync&) = delete;
  AutoSync& operator=(const AutoSync&) = delete;

 private:
  Policy& m_Policy;
};
