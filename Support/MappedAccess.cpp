#include "Support/MappedAccess.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>

namespace MappedAccess {

namespace {
// Initial-exec TLS: read from the signal handler, which must not allocate.
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* t_Recovery = nullptr;
struct sigaction g_Previous {};
std::once_flag g_Installed;
// Checked first: call_once itself costs thread-storage accesses per call,
// and every guarded step asks.
std::atomic<bool> g_Done{false};

void OnBus(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* recovery = t_Recovery) {
    t_Recovery = nullptr;
    siglongjmp(*recovery, 1);
  }
  if ((g_Previous.sa_flags & SA_SIGINFO) && g_Previous.sa_sigaction) {
    g_Previous.sa_sigaction(sig, info, context);
    return;
  }
  if (g_Previous.sa_handler != SIG_DFL && g_Previous.sa_handler != SIG_IGN && g_Previous.sa_handler) {
    g_Previous.sa_handler(sig);
    return;
  }
  // Not ours: the default action on return, when the access faults again.
  ::signal(SIGBUS, SIG_DFL);
}
}  // namespace

void Install() {
  if (g_Done.load(std::memory_order_acquire)) return;
  std::call_once(g_Installed, [] {
    struct sigaction action {};
    action.sa_sigaction = &OnBus;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER: leaving the handler by siglongjmp must not leave SIGBUS
    // blocked (a blocked fault signal kills the process), and saving the
    // signal mask at every guarded step would cost a system call.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    ::sigaction(SIGBUS, &action, &g_Previous);
    g_Done.store(true, std::memory_order_release);
  });
}

bool Guarded(void (*step)(void*), void* context) {
  Install();
  // A step may run guarded steps of its own; the enclosing recovery point
  // is armed again when the inner one ends.
  sigjmp_buf* const outer = t_Recovery;
  sigjmp_buf recovery;
  if (sigsetjmp(recovery, 0) != 0) {
    t_Recovery = outer;
    return false;
  }
  t_Recovery = &recovery;
  try {
    step(context);
  } catch (...) {  // not a guard object: sigsetjmp frames must not hold destructors
    t_Recovery = outer;
    throw;
  }
  t_Recovery = outer;
  return true;
}

bool Copy(void* destination, const void* source, size_t length) {
  return Run([&] { std::memcpy(destination, source, length); });
}

}  // namespace MappedAccess
