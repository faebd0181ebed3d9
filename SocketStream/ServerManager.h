#pragma once
// The network server: a listening socket polled every 100 ms on a thread of
// its own, and one object of ServerType per accepted connection, each with its
// own 100 ms thread running its receive step.
//
// ServerType (see ConnectionServer) must provide:
//   ServerType(SocketStream::Shared&& accepted, const std::string& peerAddress)
//       takes over the accepted socket (non-blocking, close-on-exec) and the
//       peer's dotted IPv4 address; may raise, which discards the connection;
//   void Worker()      the receive step, called every 100 ms on the
//                      connection's own thread; must not wait for data;
//   bool Eof() const   true once the connection is finished (thread-safe);
//                      the listen step then destroys the object.
// Deriving from SocketStream::Server and overriding OnReceived() gives all
// three. An object is destroyed on the listen thread, or by ~ServerManager,
// after its own thread has stopped.

#include <atomic>
#include <concepts>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "SocketStream/ListenSocket.h"
#include "Support/Logging.h"
#include "Support/TimerClassMemberFunction.h"

namespace SocketStream {

template <class T>
concept ConnectionServer = std::constructible_from<T, Shared&&, const std::string&> &&
    requires(T& server, const T& view) {
  server.Worker();
  { view.Eof() } -> std::convertible_to<bool>;
};

template <ConnectionServer ServerType>
class ServerManager {
 public:
  static constexpr uint32_t kPeriodMs = 100;
  // Accepts per listen step, so that a flood of connections cannot keep the
  // step from removing finished ones.
  static constexpr int kMaxAcceptsPerStep = 64;

  class ListenWorker : public ListenSocket {
   public:
    // A connection with its receive thread. The timer is the last member, so
    // it stops before anything of the connection goes away.
    class TimerEnabledServerType : public ServerType {
     public:
      TimerEnabledServerType(Shared&& accepted, const std::string& peerAddress)
          : ServerType(std::move(accepted), peerAddress), m_Timer(*this, kPeriodMs) {}

     private:
      TimerClassMemberFunction<ServerType> m_Timer;
    };

    ListenWorker(uint32_t port, uint32_t backlog) : ListenSocket(port, backlog) {}
    // Ends every connection before the listening socket closes.
    ~ListenWorker() override { m_Connections.clear(); }

    // The listen step: accepts what is pending, then removes finished
    // connections. Runs only on the listen timer's thread.
    void Worker() {
      for (int i = 0; i < kMaxAcceptsPerStep; ++i) {
        std::string peer;
        // A failed accept (logged by its check) is retried at the next step.
        Shared accepted = [&] {
          try {
            return AcceptOne(peer);
          } catch (...) {
            return Shared();
          }
        }();
        if (accepted.Descriptor() < 0) break;
        try {
          m_Connections.push_back(std::make_unique<TimerEnabledServerType>(std::move(accepted), peer));
        } catch (...) {
          KIV_DIAG_NOTHROW("Can not create new server for " << peer << "\n");
        }
      }
      std::erase_if(m_Connections, [](const auto& connection) { return connection->Eof(); });
      m_Count.store(m_Connections.size(), std::memory_order_release);
    }

    size_t ConnectionCount() const { return m_Count.load(std::memory_order_acquire); }

   private:
    std::list<std::unique_ptr<TimerEnabledServerType>> m_Connections;  // listen thread only
    std::atomic<size_t> m_Count{0};
  };

  // Opens the listening socket (raising as ListenSocket does) and starts
  // the listen thread.
  ServerManager(uint32_t port, uint32_t backlog)
      : m_ListenWorker(std::make_unique<ListenWorker>(port, backlog)),
        m_Timer(std::make_unique<TimerClassMemberFunction<ListenWorker>>(*m_ListenWorker, kPeriodMs)) {}
  // Stops the listen thread, then closes every connection and the socket.
  ~ServerManager() {
    m_Timer.reset();
    m_ListenWorker.reset();
  }
  ServerManager(const ServerManager&) = delete;
  ServerManager& operator=(const ServerManager&) = delete;

  uint16_t Port() const { return m_ListenWorker->Port(); }
  // Connections alive after the last listen step.
  size_t ConnectionCount() const { return m_ListenWorker->ConnectionCount(); }

 private:
  std::unique_ptr<ListenWorker> m_ListenWorker;
  std::unique_ptr<TimerClassMemberFunction<ListenWorker>> m_Timer;
};

}  // namespace SocketStream
