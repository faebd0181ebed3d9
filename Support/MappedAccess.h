#pragma once
// Access to shared mappings another process may truncate.
//
// A file mapped MAP_SHARED that another process shortens raises SIGBUS on the
// next access past its new end. Guarded() runs a step with a per-thread
// recovery point armed: a SIGBUS on that thread while armed ends the step and
// Guarded() returns false; the caller then treats the mapping as lost. A
// SIGBUS on a thread with no armed recovery point goes to the handler that
// was installed before (or kills the process as by default), so faults that
// are not ours keep their meaning.
//
// The step must not own anything that needs destruction (a lock, memory):
// when a fault ends it, nothing inside it is unwound. Steps are plain reads,
// copies and atomic operations on the mapping; relaxed ones where nothing is
// published, since the thread sanitizer's runtime holds a lock across an
// ordered atomic operation, and a fault there would leave it held. Guarded() may be called from
// any thread; steps may nest (a fault ends the innermost one).

#include <cstddef>
#include <type_traits>

namespace MappedAccess {

// Installs the SIGBUS handler once per process (Guarded() does it too).
void Install();

// Runs step(context); false when a SIGBUS ended it.
bool Guarded(void (*step)(void*), void* context);

// Calls `f` (a lambda with no owning locals) under Guarded().
template <class F>
bool Run(F&& f) {
  using Step = std::remove_reference_t<F>;
  return Guarded([](void* c) { (*static_cast<Step*>(c))(); },
                 const_cast<void*>(static_cast<const void*>(&f)));
}

// memcpy under Guarded().
bool Copy(void* destination, const void* source, size_t length);

// True where a fault inside an ordered atomic cannot be recovered from (the
// thread sanitizer's runtime): there, users check a mapping's file length
// before each access. Elsewhere the guard alone finds a cut file, and the
// check would cost a system call per access.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kCheckBeforeAccess = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kCheckBeforeAccess = true;
#else
inline constexpr bool kCheckBeforeAccess = false;
#endif
#else
inline constexpr bool kCheckBeforeAccess = false;
#endif

}  // namespace MappedAccess
