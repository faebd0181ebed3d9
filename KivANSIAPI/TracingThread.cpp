#include "KivANSIAPI/TracingThread.h"

#include <pthread.h>
#include <sched.h>

namespace TracingThread {

namespace {

std::atomic<bool> s_Locked{false};
State* s_First = nullptr;  // guarded by s_Locked
Totals s_Gone;             // guarded by s_Locked: the counts of the threads that exited

class ListGuard {
 public:
  ListGuard() noexcept {
    while (s_Locked.exchange(true, std::memory_order_acquire)) sched_yield();
  }
  ~ListGuard() { s_Locked.store(false, std::memory_order_release); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;
};

// Runs in the exiting thread, before its thread storage goes.
void Unregister(void* value) noexcept {
  auto* state = static_cast<State*>(value);
  ListGuard guard;
  s_Gone.m_Written += state->m_Written.load(std::memory_order_relaxed);
  s_Gone.m_Dropped += state->m_Dropped.load(std::memory_order_relaxed);
  for (State** link = &s_First; *link; link = &(*link)->m_Next) {
    if (*link == state) {
      *link = state->m_Next;
      break;
    }
  }
  state->m_Next = nullptr;
  state->m_Written.store(0, std::memory_order_relaxed);
  state->m_Dropped.store(0, std::memory_order_relaxed);
  // A later record on this thread (another key's destructor) registers again.
  state->m_Registered = false;
}

// The key whose destructor unregisters an exiting thread (after its C++
// thread-storage destructors, which may still trace); made with the fork
// handler, before any thread registers. Null when no key could be made.
const pthread_key_t* ExitKey() noexcept {
  static pthread_key_t key{};
  static const bool made = [] {
    pthread_atfork(nullptr, nullptr, ResetInChild);
    return pthread_key_create(&key, Unregister) == 0;
  }();
  return made ? &key : nullptr;
}

// Without a key (the process used them all up): unregistered by a C++
// thread-storage destructor instead.
struct ExitGuard {
  State* m_State = nullptr;
  ~ExitGuard() {
    if (m_State) Unregister(m_State);
  }
};

}  // namespace

void Register() noexcept {
  State& state = t_State;
  const pthread_key_t* key = ExitKey();
  {
    ListGuard guard;
    state.m_Next = s_First;
    s_First = &state;
  }
  if (!key || pthread_setspecific(*key, &state) != 0) {
    thread_local ExitGuard exitGuard;
    exitGuard.m_State = &state;
  }
  state.m_Registered = true;
}

Totals Sum() noexcept {
  ListGuard guard;
  Totals sum = s_Gone;
  for (const State* state = s_First; state; state = state->m_Next) {
    sum.m_Written += state->m_Written.load(std::memory_order_relaxed);
    sum.m_Dropped += state->m_Dropped.load(std::memory_order_relaxed);
  }
  return sum;
}

bool AnyInFlight(uint32_t phase) noexcept {
  ListGuard guard;
  for (const State* state = s_First; state; state = state->m_Next)
    if (state->m_InFlight[phase].load() != 0) return true;
  return false;
}

void ResetInChild() noexcept {
  // The other threads' States are the parent's threads' storage: left alone.
  s_Locked.store(false, std::memory_order_relaxed);
  s_First = nullptr;
  s_Gone = Totals{};
  State& state = t_State;
  state.m_Written.store(0, std::memory_order_relaxed);
  state.m_Dropped.store(0, std::memory_order_relaxed);
  state.m_InFlight[0].store(0, std::memory_order_relaxed);
  state.m_InFlight[1].store(0, std::memory_order_relaxed);
  state.m_Next = nullptr;
  if (state.m_Registered) s_First = &state;
}

}  // namespace TracingThread
