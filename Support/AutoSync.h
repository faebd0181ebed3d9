#pragma once
// Scoped lock over any policy with Lock() and Unlock()
// (CriticalSectionSyncPolicy, InterProcessLock).

template <class Policy>
class AutoSync {
 public:
  explicit AutoSync(Policy& policy) : m_Policy(policy) { m_Policy.Lock(); }
  virtual ~AutoSync() {
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
