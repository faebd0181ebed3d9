#pragma once
// A handle to a process-wide, lazily created, reference-counted instance of T.
// The first handle creates the instance with `new T`; the last one deletes it.

#include "Support/AutoSync.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/Validation2Exception.h"

template <class T, class SyncPolicy = CriticalSectionSyncPolicy>
class AutoSingleton {
 public:
  AutoSingleton() { Attributes().IncreaseReference(); }
  virtual ~AutoSingleton() {
    try {
      Attributes().DecreaseReference();
    } catch (...) {
    }
  }
  AutoSingleton(const AutoSingleton&) = delete;
  AutoSingleton& operator=(const AutoSingleton&) = delete;

  T* operator->() const { return Attributes().m_Instance; }
  T& operator*() const { return *Attributes().m_Instance; }
  T* Get() const { return Attributes().m_Instance; }

 private:
  struct GlobalAttributes {
    SyncPolicy m_Lock;
    T* m_Instance = nullptr;  // guarded by m_Lock
    unsigned m_Count = 0;     // guarded by m_Lock

    void IncreaseReference() {
      AutoSync<SyncPolicy> guard(m_Lock);
      if (m_Count == 0) {
        m_Instance = new T;
        Validation2Exception::CheckMemoryAllocation(m_Instance != nullptr, "Can not create singleton object.");
      }
      ++m_Count;
    }
    // The instance is deleted under the lock, so a new first handle cannot
    // create a second instance while the old one is still shutting down.
    void DecreaseReference() {
      AutoSync<SyncPolicy> guard(m_Lock);
      if (m_Count == 0) return;
      if (--m_Count == 0) {
        delete m_Instance;
        m_Instance = nullptr;
      }
    }
  };

  // Function-local static: constructed before first use whatever the order
  // of static initialisation across files.
  static GlobalAttributes& Attributes() {
    static GlobalAttributes s_Attributes;
    return s_Attributes;
  }
};
