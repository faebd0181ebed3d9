#include "SocketStream/ServerLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "Support/Logging.h"
#include "Support/SysLogEntry.h"
#include "Support/Validation2Exception.h"

namespace SocketStream {
namespace {

using Clock = std::chrono::steady_clock;

// Descriptors kept free for the rest of the process (local clients, log
// files, the status file): a quarter of the limit, at most 128.
size_t DescriptorCeiling() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  rlim_t reserve = std::min<rlim_t>(128, limit.rlim_cur / 4);
  return static_cast<size_t>(limit.rlim_cur - reserve);
}

void SystemLog(const std::string& line) {
  SysLogEntry entry(kSystemLogIdentity, 2);
  entry << line;
}

// The listening socket and the wake-up descriptor are told apart from
// connections by these marks.
char g_ListenMark, g_WakeMark;

}  // namespace

const char* RefusalText(Refusal reason) {
  switch (reason) {
    case Refusal::AddressNotAllowed:
      return "address not allowed";
    case Refusal::HandshakeFailed:
      return "handshake failed";
    case Refusal::CertificateNotTrusted:
      return "certificate not trusted";
    default:
      return "limit reached";
  }
}

ServerLoop::ServerLoop(uint32_t port, uint32_t backlog, ServerOptions options, Factory factory)
    : m_Options(std::move(options)),
      m_Filter(m_Options.allowedPeers),
      m_Factory(std::move(factory)),
      m_Listen(port, backlog, m_Options.bindAddress),
      m_Epoll(epoll_create1(EPOLL_CLOEXEC)),
      m_Wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_DescriptorCeiling(DescriptorCeiling()) {
  Validation2Exception::CheckOSCall(m_Epoll.get() >= 0 && m_Wake.get() >= 0,
                                    "Can not create the network server's event loop");
  epoll_event listen{EPOLLIN, {.ptr = &g_ListenMark}};
  epoll_event wake{EPOLLIN, {.ptr = &g_WakeMark}};
  Validation2Exception::CheckOSCall(
      epoll_ctl(m_Epoll.get(), EPOLL_CTL_ADD, m_Listen.Descriptor(), &listen) == 0 &&
          epoll_ctl(m_Epoll.get(), EPOLL_CTL_ADD, m_Wake.get(), &wake) == 0,
      "Can not create the network server's event loop");
  m_Thread = std::make_unique<MultithreadizedObject<ServerLoop>>(*this);
}

ServerLoop::~ServerLoop() {
  m_Stop.store(true, std::memory_order_release);
  uint64_t one = 1;
  if (write(m_Wake.get(), &one, sizeof one) < 0) {
    // The loop also looks at the flag every sweep period.
  }
  m_Thread.reset();
  m_Finished.clear();
  m_Connections.clear();
}

ServerCounts ServerLoop::Counts() const {
  ServerCounts counts;
  counts.connected = m_Connected.load(std::memory_order_acquire);
  for (size_t i = 0; i < counts.refused.size(); ++i)
    counts.refused[i] = m_Refused[i].load(std::memory_order_acquire);
  counts.bytesReceived = m_BytesReceived.load(std::memory_order_acquire);
  return counts;
}

void ServerLoop::Worker() {
  constexpr int kBatch = 256;
  epoll_event events[kBatch];
  auto nextSweep = Clock::now() + kSweepPeriod;
  while (!m_Stop.load(std::memory_order_acquire)) {
    int timeout = m_Again.empty() ? static_cast<int>(kSweepPeriod.count()) : 0;
    int n = epoll_wait(m_Epoll.get(), events, kBatch, timeout);
    if (n < 0 && errno != EINTR) {
      KIV_DIAG_NOTHROW("Network server: event wait failed, errno " << errno << "\n");
      usleep(static_cast<useconds_t>(kSweepPeriod.count()) * 1000);
    }
    try {
      // Bytes a TLS session decrypted before the last step stopped.
      std::vector<Server*> again;
      again.swap(m_Again);
      for (Server* server : again)
        if (m_Connections.count(server) != 0) Serve(server);
      for (int i = 0; i < n; ++i) {
        void* mark = events[i].data.ptr;
        if (mark == &g_WakeMark) continue;
        if (mark == &g_ListenMark) {
          AcceptPending();
          continue;
        }
        auto* server = static_cast<Server*>(mark);
        if (m_Connections.count(server) != 0) Serve(server);
      }
      if (Clock::now() >= nextSweep) {
        Sweep();
        nextSweep = Clock::now() + kSweepPeriod;
      }
    } catch (const std::exception& e) {
      // Only memory can run out here; the loop goes on with what it has.
      KIV_DIAG_NOTHROW("Network server: " << e.what() << "\n");
    } catch (...) {
      KIV_DIAG_NOTHROW("Network server: unexpected failure in the event loop\n");
    }
    m_Finished.clear();
  }
}

void ServerLoop::WatchListen(bool on) {
  if (on == m_ListenWatched) return;
  epoll_event listen{on ? static_cast<uint32_t>(EPOLLIN) : 0u, {.ptr = &g_ListenMark}};
  if (epoll_ctl(m_Epoll.get(), EPOLL_CTL_MOD, m_Listen.Descriptor(), &listen) == 0) m_ListenWatched = on;
}

void ServerLoop::AcceptPending() {
  // A bounded number per wake-up, so that a flood of connections cannot
  // starve the connections already served.
  for (int i = 0; i < 64; ++i) {
    sockaddr_storage peer{};
    int descriptor = m_Listen.AcceptRaw(peer);
    if (descriptor == -EAGAIN || descriptor == -EWOULDBLOCK) return;
    if (descriptor < 0) {
      // Out of descriptors (or memory): the pending connection stays in the
      // backlog and would wake the loop again at once; stop listening for a
      // moment instead.
      KIV_DIAG_NOTHROW("Network server: accept failed, errno " << -descriptor << "; pausing\n");
      if (descriptor == -EMFILE || descriptor == -ENFILE || descriptor == -ENOBUFS || descriptor == -ENOMEM) {
        WatchListen(false);
        m_AcceptResume = Clock::now() + kAcceptPause;
      }
      return;
    }
    Admit(descriptor, peer);
  }
}

void ServerLoop::Admit(int descriptor, const sockaddr_storage& peer) {
  Shared accepted(descriptor);
  const auto* address = reinterpret_cast<const sockaddr*>(&peer);
  std::string text = PeerAddressText(address);
  if (!m_Filter.Allows(address)) return Refuse(text, Refusal::AddressNotAllowed);
  if (m_Connections.size() >= m_Options.maxPeers)
    return Refuse(text, Refusal::LimitReached, "max_peers " + std::to_string(m_Options.maxPeers));
  if (static_cast<size_t>(descriptor) >= m_DescriptorCeiling)
    return Refuse(text, Refusal::LimitReached, "descriptor reserve");
  std::unique_ptr<Server> server;
  try {
    server = m_Factory(std::move(accepted), text);
    if (m_Options.tls) server->StartTls(*m_Options.tls);
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("Can not create new server for " << text << ": " << e.what() << "\n");
    return;
  }
  Server* key = server.get();
  epoll_event event{EPOLLIN, {.ptr = key}};
  if (epoll_ctl(m_Epoll.get(), EPOLL_CTL_ADD, key->Descriptor(), &event) != 0) {
    KIV_DIAG_NOTHROW("Can not watch new connection from " << text << "\n");
    return;
  }
  m_Connections.emplace(key, Connection{std::move(server), EPOLLIN});
  m_Connected.store(m_Connections.size(), std::memory_order_release);
}

void ServerLoop::Serve(Server* server) {
  size_t before = server->PendingBytes();
  server->Worker();
  m_BytesReceived.fetch_add(server->TakeReceivedBytes(), std::memory_order_acq_rel);
  m_Pending = m_Pending + server->PendingBytes() - before;
  if (server->Eof()) {
    const std::string& reason = server->RefusalReason();
    if (!reason.empty())
      Refuse(server->PeerAddress(),
             reason == "handshake failed" ? Refusal::HandshakeFailed : Refusal::CertificateNotTrusted,
             reason == "no certificate" ? reason : std::string());
    return Close(server);
  }
  Connection& connection = m_Connections.at(server);
  uint32_t wanted = EPOLLIN | (server->WantsWrite() ? EPOLLOUT : 0u);
  if (wanted != connection.events) {
    epoll_event event{wanted, {.ptr = server}};
    if (epoll_ctl(m_Epoll.get(), EPOLL_CTL_MOD, server->Descriptor(), &event) == 0)
      connection.events = wanted;
  }
  if (server->HasBuffered()) m_Again.push_back(server);
  // Over the bound for partial blocks: the greediest connection goes.
  while (m_Pending > m_Options.maxPendingBytes && !m_Connections.empty()) {
    auto greediest = std::max_element(
        m_Connections.begin(), m_Connections.end(),
        [](const auto& a, const auto& b) { return a.first->PendingBytes() < b.first->PendingBytes(); });
    KIV_DIAG_NOTHROW("Network server: " << greediest->first->PeerAddress() << " holds "
                                        << greediest->first->PendingBytes()
                                        << " bytes of partial blocks over max_pending; closed\n");
    Close(greediest->first);
  }
}

void ServerLoop::Close(Server* server) {
  auto found = m_Connections.find(server);
  if (found == m_Connections.end()) return;
  epoll_ctl(m_Epoll.get(), EPOLL_CTL_DEL, server->Descriptor(), nullptr);
  m_Pending -= std::min<uint64_t>(m_Pending, server->PendingBytes());
  // Destroyed after the batch: later events of the batch may still name it.
  m_Finished.push_back(std::move(found->second.server));
  m_Connections.erase(found);
  m_Connected.store(m_Connections.size(), std::memory_order_release);
}

void ServerLoop::Sweep() {
  auto now = Clock::now();
  if (!m_ListenWatched && now >= m_AcceptResume) WatchListen(true);
  std::vector<Server*> idle;
  for (const auto& [server, connection] : m_Connections)
    if (now - server->LastProgress() >= m_Options.idleTimeout) idle.push_back(server);
  for (Server* server : idle) {
    KIV_DIAG_NOTHROW("Network server: " << server->PeerAddress()
                                        << " sent no complete block within idle_timeout; closed\n");
    Close(server);
  }
  if (m_Options.onCounts) {
    ServerCounts counts = Counts();
    if (!(counts == m_Reported)) {
      m_Options.onCounts(counts);
      m_Reported = counts;
    }
  }
  if (m_LogSuppressed != 0 && now - m_LogSecond >= std::chrono::seconds(1)) {
    uint64_t suppressed = std::exchange(m_LogSuppressed, 0);
    Log("Network server: " + std::to_string(suppressed) + " more refused peers not logged");
  }
}

void ServerLoop::Refuse(const std::string& address, Refusal reason, const std::string& detail) {
  m_Refused[static_cast<size_t>(reason)].fetch_add(1, std::memory_order_acq_rel);
  auto now = Clock::now();
  if (now - m_LogSecond >= std::chrono::seconds(1)) {
    m_LogSecond = now;
    m_LogLines = 0;
  }
  if (m_LogLines >= kRefusalLinesPerSecond) {
    ++m_LogSuppressed;
    return;
  }
  ++m_LogLines;
  Log("Network server refused " + address + ": " + RefusalText(reason) +
      (detail.empty() ? "" : " (" + detail + ")"));
}

void ServerLoop::Log(const std::string& line) {
  KIV_DIAG_NOTHROW(line << "\n");
  try {
    if (m_Options.refusalLog)
      m_Options.refusalLog(line);
    else
      SystemLog(line);
  } catch (...) {
  }
}

}  // namespace SocketStream
