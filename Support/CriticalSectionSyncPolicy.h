#pragma once
// In-process mutual exclusion: one non-recursive POSIX mutex, used through
// AutoSync. Locking it twice from one thread deadlocks; no caller does.
// A capability for the thread-safety analysis: members it protects are
// declared GUARDED_BY it.

#include <pthread.h>

#include "Support/ThreadAnnotations.h"
#include "Support/Validation2Exception.h"

class CAPABILITY("mutex") CriticalSectionSyncPolicy {
 public:
  CriticalSectionSyncPolicy() {
    Validation2Exception::CheckOSCall(pthread_mutex_init(&m_Mutex, nullptr) == 0, "Unable to initiate mutex");
  }
  virtual ~CriticalSectionSyncPolicy() { pthread_mutex_destroy(&m_Mutex); }
  CriticalSectionSyncPolicy(const CriticalSectionSyncPolicy&) = delete;
  CriticalSectionSyncPolicy& operator=(const CriticalSectionSyncPolicy&) = delete;

  void Lock() ACQUIRE() {
    Validation2Exception::CheckOSCall(pthread_mutex_lock(&m_Mutex) == 0, "Unable to lock mutex");
  }
  void Unlock() RELEASE() {
    Validation2Exception::CheckOSCall(pthread_mutex_unlock(&m_Mutex) == 0, "Unable to unlock mutex");
  }
  // Not part of the policy contract; for the rare caller that must not block.
  bool TryLock() TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_Mutex) == 0; }

 private:
  pthread_mutex_t m_Mutex;
};
