#pragma once
// Lock contracts the compiler checks: clang's thread-safety analysis
// (-Wthread-safety) proves that a member marked GUARDED_BY(lock) is touched
// only with that lock held and that a function marked REQUIRES(lock) is
// called only by holders. Under other compilers every macro is empty, so the
// annotations cost nothing and change nothing.
//
//   CriticalSectionSyncPolicy m_Lock;
//   int m_Count GUARDED_BY(m_Lock) = 0;
//   void Bump() REQUIRES(m_Lock);
//
// A lock type is a CAPABILITY whose Lock()/Unlock() are ACQUIRE()/RELEASE();
// a scoped guard is a SCOPED_CAPABILITY whose constructor ACQUIREs its
// argument and whose destructor RELEASEs it. NO_THREAD_SAFETY_ANALYSIS is for
// the rare correct pattern the analysis cannot follow; say why beside it.

#if defined(__clang__)
#define KIV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KIV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KIV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KIV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KIV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KIV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KIV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KIV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KIV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KIV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KIV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KIV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KIV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KIV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KIV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) KIV_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) KIV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KIV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KIV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KIV_THREAD_ANNOTATION(no_thread_safety_analysis)
