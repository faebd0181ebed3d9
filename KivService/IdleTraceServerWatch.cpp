#include "KivService/IdleTraceServerWatch.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

#include "KivService/KivServer.h"

IdleTraceServerWatch::IdleTraceServerWatch() : m_Epoll(::epoll_create1(EPOLL_CLOEXEC)), m_Thread(*this) {}

IdleTraceServerWatch::~IdleTraceServerWatch() { m_Stop.Request(); }  // then m_Thread joins

void IdleTraceServerWatch::Add(KivServer& server) {
  MutexLock lock(m_Lock);
  m_Servers.push_back(&server);
  const int process = server.Process().Descriptor();
  // One report per ended process: its descriptor stays readable until the
  // server is removed.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.ptr = &server;
  bool watched =
      m_Epoll.valid() && process >= 0 && ::epoll_ctl(m_Epoll.get(), EPOLL_CTL_ADD, process, &event) == 0;
  server.SetProcessWatched(watched);
}

void IdleTraceServerWatch::Remove(KivServer& server) {
  MutexLock lock(m_Lock);
  m_Servers.erase(std::remove(m_Servers.begin(), m_Servers.end(), &server), m_Servers.end());
  if (server.IsProcessWatched())
    ::epoll_ctl(m_Epoll.get(), EPOLL_CTL_DEL, server.Process().Descriptor(), nullptr);
}

void IdleTraceServerWatch::WakeEnded() {
  if (!m_Epoll.valid()) return;
  epoll_event events[64];
  for (int n = static_cast<int>(std::size(events)); n == static_cast<int>(std::size(events));) {
    n = ::epoll_wait(m_Epoll.get(), events, static_cast<int>(std::size(events)), 0);
    for (int i = 0; i < n; ++i) static_cast<KivServer*>(events[i].data.ptr)->WakeWorker();
  }
}

void IdleTraceServerWatch::Worker() {
  while (!m_Stop.WaitFor(kPollPeriodMs)) {
    try {
      MutexLock lock(m_Lock);
      WakeEnded();
      for (KivServer* server : m_Servers) server->WatchIdle();
    } catch (...) {
      // Nothing in a pass raises; a failing lock is tried again next period.
    }
  }
}
