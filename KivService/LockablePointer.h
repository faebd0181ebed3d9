#pragma once
// A pointer guarded by its own non-reentrant mutex, and the scoped accessor
// through which every read or change of it goes.
//
// LockablePointer<T> owns the object it points to: replacing or emptying the
// pointer destroys the previous object (while the lock is held, so nobody
// meets it half destroyed), and so does the LockablePointer's destructor.
//
//   AutoLockingPointer<KivServiceClient> client(proxy.ServiceClient());
//   if (client) client->RequestConfigurationChange(PauseTracing);
//
// AutoLockingPointer locks on construction and unlocks on destruction; with
// std::try_to_lock it does not wait, and holds nothing when the lock was
// busy (check OwnsLock()).
//
// The accessor reaches the object only while OwnsLock(); its constructor and
// destructor are outside the thread-safety analysis, which cannot follow a
// lock taken or not by a runtime decision.

#include <memory>
#include <mutex>

#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/ThreadAnnotations.h"

template <class T>
class AutoLockingPointer;

template <class T>
class LockablePointer {
 public:
  LockablePointer() = default;
  virtual ~LockablePointer() = default;
  LockablePointer(const LockablePointer&) = delete;
  LockablePointer& operator=(const LockablePointer&) = delete;

  // For a holder that must keep the pointer locked beyond one scope (across
  // a fork); everyone else uses AutoLockingPointer.
  void Lock() ACQUIRE(m_Lock) { m_Lock.Lock(); }
  void Unlock() RELEASE(m_Lock) { m_Lock.Unlock(); }

 private:
  friend class AutoLockingPointer<T>;
  CriticalSectionSyncPolicy m_Lock;
  std::unique_ptr<T> m_Object GUARDED_BY(m_Lock);
};

template <class T>
class AutoLockingPointer {
 public:
  explicit AutoLockingPointer(LockablePointer<T>& pointer) NO_THREAD_SAFETY_ANALYSIS : m_Pointer(pointer),
                                                                                       m_Owns(true) {
    m_Pointer.m_Lock.Lock();
  }
  AutoLockingPointer(LockablePointer<T>& pointer, std::try_to_lock_t)
      : m_Pointer(pointer), m_Owns(pointer.m_Lock.TryLock()) {}
  virtual ~AutoLockingPointer() NO_THREAD_SAFETY_ANALYSIS {
    if (!m_Owns) return;
    try {
      m_Pointer.m_Lock.Unlock();
    } catch (...) {
    }
  }
  AutoLockingPointer(const AutoLockingPointer&) = delete;
  AutoLockingPointer& operator=(const AutoLockingPointer&) = delete;

  bool OwnsLock() const { return m_Owns; }
  // Null when the pointer is empty or the lock is not held.
  T* Get() const {
    if (!m_Owns) return nullptr;
    AssertOwned();
    return m_Pointer.m_Object.get();
  }
  T* operator->() const { return Get(); }
  explicit operator bool() const { return Get() != nullptr; }

  // Destroys the current object (if any) and keeps `object` instead. Without
  // the lock (a failed try) nothing changes and `object` is destroyed.
  void Reset(std::unique_ptr<T> object = nullptr) {
    if (!m_Owns) return;
    AssertOwned();
    m_Pointer.m_Object = std::move(object);
  }
  // Hands the object over, leaving the pointer empty (null without the lock).
  std::unique_ptr<T> Release() {
    if (!m_Owns) return nullptr;
    AssertOwned();
    return std::move(m_Pointer.m_Object);
  }

 private:
  // Tells the analysis what m_Owns says: the lock is held.
  void AssertOwned() const ASSERT_CAPABILITY(m_Pointer.m_Lock) {}

  LockablePointer<T>& m_Pointer;
  bool m_Owns;
};
