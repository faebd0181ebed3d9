#pragma once
// The network server's engine: one listening socket and every accepted
// connection served by a single epoll loop on one thread, so that an idle or
// stalled peer costs a descriptor and a few hundred bytes, not a thread.
//
// Bounds: at most `maxPeers` connections at once; a connection that
// completes no block for `idleTimeout` is closed; when the bytes held for
// partial blocks over all connections pass `maxPendingBytes`, the connection
// holding the most is closed; `descriptorReserve` descriptors below the
// process limit are never taken by peers, so the rest of the process keeps
// working; when the process runs out of descriptors anyway, accepting pauses
// for kAcceptPause instead of spinning. Peers outside the allow-list, over
// the limits, or failing the TLS handshake are closed at once, counted by
// reason and logged (rate-limited) through `refusalLog`.
//
// Connections are made by the factory on the loop thread, served there in
// arrival order (each connection's blocks strictly in order) and destroyed
// there, or by the destructor after the loop has stopped. Counts() may be
// read from any thread.

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "SocketStream/ListenSocket.h"
#include "SocketStream/PeerFilter.h"
#include "SocketStream/Server.h"
#include "SocketStream/Tls.h"
#include "Support/FileDescriptor.h"
#include "Support/MultithreadizedObject.h"

namespace SocketStream {

enum class Refusal { AddressNotAllowed, HandshakeFailed, CertificateNotTrusted, LimitReached, Count };
// "address not allowed", "handshake failed", "certificate not trusted",
// "limit reached".
const char* RefusalText(Refusal reason);

struct ServerCounts {
  uint64_t connected = 0;
  std::array<uint64_t, static_cast<size_t>(Refusal::Count)> refused{};
  uint64_t bytesReceived = 0;
  bool operator==(const ServerCounts&) const = default;
};

struct ServerOptions {
  std::string bindAddress = "0.0.0.0";
  std::string allowedPeers;  // PeerFilter syntax; empty lets everyone in
  uint32_t maxPeers = 64;
  std::chrono::milliseconds idleTimeout{60000};
  uint64_t maxPendingBytes = uint64_t{65536} << 10;
  std::shared_ptr<const TlsContext> tls;  // none: plain TCP
  // Receives each refusal line; the default sends it to the system log.
  std::function<void(const std::string& line)> refusalLog;
  // Told the counts on the loop thread whenever they changed (at most every
  // sweep period).
  std::function<void(const ServerCounts& counts)> onCounts;
};

class ServerLoop {
 public:
  using Factory = std::function<std::unique_ptr<Server>(Shared&& accepted, const std::string& peerAddress)>;
  static constexpr std::chrono::milliseconds kAcceptPause{100};
  static constexpr std::chrono::milliseconds kSweepPeriod{100};
  // Refusal lines per second at most; the rest are counted and summed up.
  static constexpr uint32_t kRefusalLinesPerSecond = 20;

  // Listens (raising as ListenSocket does, or std::invalid_argument for a
  // bad allow-list) and starts the loop thread.
  ServerLoop(uint32_t port, uint32_t backlog, ServerOptions options, Factory factory);
  // Stops the loop, then closes every connection and the socket.
  ~ServerLoop();
  ServerLoop(const ServerLoop&) = delete;
  ServerLoop& operator=(const ServerLoop&) = delete;

  uint16_t Port() const { return m_Listen.Port(); }
  size_t ConnectionCount() const { return m_Connected.load(std::memory_order_acquire); }
  ServerCounts Counts() const;

  void Worker();  // the loop; run by m_Thread only

 private:
  struct Connection {
    std::unique_ptr<Server> server;
    uint32_t events = 0;  // registered with epoll
  };

  void AcceptPending();
  void Admit(int descriptor, const sockaddr_storage& peer);
  void Serve(Server* server);
  void Close(Server* server);
  void Sweep();
  void Refuse(const std::string& address, Refusal reason, const std::string& detail = {});
  void Log(const std::string& line);
  void WatchListen(bool on);

  const ServerOptions m_Options;
  const PeerFilter m_Filter;
  const Factory m_Factory;
  ListenSocket m_Listen;
  FileDescriptor m_Epoll;
  FileDescriptor m_Wake;  // eventfd that ends epoll_wait at destruction
  std::atomic<bool> m_Stop{false};
  size_t m_DescriptorCeiling = 0;  // peers' descriptors stay below this

  // Loop thread only.
  std::unordered_map<Server*, Connection> m_Connections;
  std::vector<std::unique_ptr<Server>> m_Finished;  // destroyed after each batch
  std::vector<Server*> m_Again;                     // TLS data already decrypted
  uint64_t m_Pending = 0;
  bool m_ListenWatched = true;
  std::chrono::steady_clock::time_point m_AcceptResume{};
  std::chrono::steady_clock::time_point m_LogSecond{};
  uint32_t m_LogLines = 0;
  uint64_t m_LogSuppressed = 0;
  ServerCounts m_Reported{};

  std::atomic<uint64_t> m_Connected{0};
  std::array<std::atomic<uint64_t>, static_cast<size_t>(Refusal::Count)> m_Refused{};
  std::atomic<uint64_t> m_BytesReceived{0};

  // Last: started when everything above exists, joined first.
  std::unique_ptr<MultithreadizedObject<ServerLoop>> m_Thread;
};

}  // namespace SocketStream
