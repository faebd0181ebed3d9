#pragma once
// A handle to a process-wide, lazily created, reference-counted instance of T.
// The first handle creates the instance with `new T`; the last one deletes it.

#include "Support/AutoSync.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/ThreadAnnotations.h"
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

  T* operator->() const { return Instance(); }
  T& operator*() const { return *Instance(); }
  T* Get() const { return Instance(); }

 private:
  // Read without the lock: the instance is made before the first handle
  // exists and deleted after the last is gone, and this handle's reference
  // (taken under the lock) keeps it in place meanwhile.
  static T* Instance() NO_THREAD_SAFETY_ANALYSIS { return Attributes().m_Instance; }

  struct GlobalAttributes {
    SyncPolicy m_Lock;
    T* m_Instance GUARDED_BY(m_Lock) = nullptr;
    unsigned m_Count GUARDED_BY(m_Lock) = 0;

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
