#pragma once
// std::mutex as a capability the thread-safety analysis knows (the standard
// library's is not annotated), and its scoped guard. Same locking as
// std::mutex with std::lock_guard / std::unique_lock: nothing here raises
// beyond what they raise.
//
//   Mutex m_Lock;
//   int m_Count GUARDED_BY(m_Lock);
//   { MutexLock lock(m_Lock); ++m_Count; }
//
// A condition variable waits on lock.Unique(); the wait gives the mutex up
// and takes it back before it returns, so the guard holds it throughout as
// far as callers can tell. A wait predicate that reads guarded members says
// so: [this]() REQUIRES(m_Lock) { ... }.

#include <mutex>

#include "Support/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { m_Mutex.lock(); }
  void Unlock() RELEASE() { m_Mutex.unlock(); }

 private:
  friend class MutexLock;
  std::mutex m_Mutex;
};

// Holds the mutex from construction to destruction. Not copyable.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_Lock(mutex.m_Mutex) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For std::condition_variable waits only; never unlock through it.
  std::unique_lock<std::mutex>& Unique() { return m_Lock; }

 private:
  std::unique_lock<std::mutex> m_Lock;
};
