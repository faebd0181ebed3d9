#pragma once
// Waiting on and waking a 32-bit word in a mapping shared between processes
// (a MAP_SHARED file), without a lock: the kernel's futex, in its shared
// (not process-private) form, so that a waiter in one process is woken by a
// store and wake in another.
//
// The word may lie in a file another process can write or truncate: Wait()
// returns at once when the word does not hold `expected`, and reports a word
// the kernel cannot reach (a truncated file) as Failed rather than faulting;
// the caller then waits some other way. Nothing here touches the word in
// user space, so no access needs a fault guard (see MappedAccess.h).

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

namespace SharedFutex {

enum class Waited { Woken, Changed, Timeout, Failed };

// Sleeps while `*word` holds `expected`, at most `timeoutMs`, until a Wake()
// on the same word (from any process mapping the same file). Woken also
// covers a signal and a spurious return: callers look again either way.
inline Waited Wait(uint32_t* word, uint32_t expected, uint32_t timeoutMs) noexcept {
  timespec timeout{static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000L};
  if (::syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0) == 0) return Waited::Woken;
  switch (errno) {
    case EAGAIN:
      return Waited::Changed;
    case ETIMEDOUT:
      return Waited::Timeout;
    case EINTR:
      return Waited::Woken;
    default:
      return Waited::Failed;
  }
}

// Wakes every waiter on `word`; false when the kernel could not reach it.
inline bool Wake(uint32_t* word) noexcept {
  return ::syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0) >= 0;
}

// Orders a store before a later load of another word (the store of one side
// of a wake-up hand-over before its look at the other side's word), so that
// of a waiter and a waker at least one sees the other.
inline void StoreLoadBarrier() noexcept {
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
  std::atomic_thread_fence(std::memory_order_seq_cst);
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace SharedFutex
