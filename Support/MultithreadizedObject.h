#pragma once
// Runs T::Worker() once on a thread of its own. The thread starts in the
// constructor, which raises only when no thread could be started (never once
// one runs); the destructor joins it without asking it to stop, so the
// owner must have made Worker() return (or be about to) first. Nothing raised
// by Worker() leaves the thread.

#include <pthread.h>

#include <atomic>

#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

template <class T, bool Joinable = true>
class MultithreadizedObject {
  static_assert(Joinable, "only joinable worker threads are used");

 public:
  explicit MultithreadizedObject(T& object) : m_Object(&object) {
    int rc = pthread_create(&m_Thread, nullptr, &MultithreadizedObject::Worker, this);
    errno = rc;
    Validation2Exception::CheckOSCall(rc == 0, "Failed to create worker thread");
    // From here on the thread runs and uses this object: nothing may raise
    // out of the constructor, or the object would go without a join. (The
    // diagnostic log fails when descriptors run out.)
    m_Started = true;
    KIV_DIAG_NOTHROW("Thread: Thread " << static_cast<unsigned long>(m_Thread) << " created.\n");
  }
  virtual ~MultithreadizedObject() {
    if (m_Started) {
      // A failing join cannot be reported from a destructor; it is logged.
      if (pthread_join(m_Thread, nullptr) != 0) KIV_DIAG_NOTHROW("Faied waiting for thread to terminate\n");
      m_Started = false;
    }
  }
  MultithreadizedObject(const MultithreadizedObject&) = delete;
  MultithreadizedObject& operator=(const MultithreadizedObject&) = delete;

  bool Finished() const { return m_Finished.load(std::memory_order_acquire); }
  pthread_t Handle() const { return m_Thread; }

 private:
  static void* Worker(void* self) {
    auto* me = static_cast<MultithreadizedObject*>(self);
    try {
      me->m_Object->Worker();
    } catch (...) {
      KIV_DIAG_NOTHROW("Thread: Unhandled exception happened in worker function.\n");
    }
    KIV_DIAG_NOTHROW("Thread: Worker function for thread ID:" << static_cast<unsigned long>(pthread_self())
                                                              << " returns:" << 0 << "\n");
    me->m_Finished.store(true, std::memory_order_release);
    return nullptr;
  }

  T* m_Object;
  std::atomic<bool> m_Finished{false};
  pthread_t m_Thread{};
  bool m_Started = false;
};
