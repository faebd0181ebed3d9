#pragma once
// Holder of the dispatcher's settings and the list of components to tell when
// they change. The owner and the clients read and write the settings directly
// (Config()); BroadcastConfigChange() is what tells the clients to read them.
//
// Lifetime: every client must be destroyed before its server. A client is
// registered from the end of its Client construction until the start of its
// Client destruction.
//
// Locking: m_Lock (non-reentrant) guards m_Clients only; registration,
// unregistration and a whole broadcast take it. The settings are not guarded
// here: writers are the request-handling thread, and each client takes its own
// lock before it reads them.
//
// A handler may destroy (or create) clients of the same server from inside a
// broadcast, on the broadcasting thread: such calls do not take the lock the
// broadcast already holds. A destroyed client's list entry is cleared at once,
// so the walk skips it and never touches the gone object; cleared entries are
// dropped when the walk ends. A client created during a broadcast is first
// notified by the next broadcast.

#include <atomic>
#include <cstddef>
#include <list>
#include <thread>

#include "KivConfigFileReader/KivServerConfig.h"
#include "Support/AutoSync.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/Logging.h"
#include "Support/ThreadAnnotations.h"
#include "Support/Validation2Exception.h"

template <class Settings>
class BasicConfigServer {
 public:
  // A listener; the server does not own it. By default it registers in its
  // constructor and unregisters in its destructor. C++ destroys the derived
  // part first, so a client that another thread may broadcast to while it is
  // made or destroyed passes `connect` = false, calls Connect() at the end of
  // its own constructor and Disconnect() at the start of its own destructor;
  // then a notification never reaches a half-built or half-destroyed object.
  class Client {
   public:
    explicit Client(BasicConfigServer& server, bool connect = true) : m_Server(&server) {
      if (connect) Connect();
    }
    virtual ~Client() { Disconnect(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Called on the broadcasting thread for each change. An exception that
    // leaves it is dropped and the next client is still told.
    virtual void OnConfigChanged() = 0;

    BasicConfigServer* Server() const { return m_Server; }

   protected:
    // Both are idempotent. Disconnect() waits for a broadcast running on
    // another thread to end; after it returns, no notification is running or
    // will start for this client.
    void Connect() {
      if (m_Connected) return;
      m_Server->Register(this);
      m_Connected = true;
    }
    void Disconnect() noexcept {
      if (!m_Connected) return;
      m_Server->Unregister(this);
      m_Connected = false;
    }

   private:
    BasicConfigServer* m_Server;
    bool m_Connected = false;  // touched only by the thread making or destroying the client
  };

  BasicConfigServer() = default;
  explicit BasicConfigServer(const Settings& initial) : m_Config(initial) {}
  virtual ~BasicConfigServer() = default;
  BasicConfigServer(const BasicConfigServer&) = delete;
  BasicConfigServer& operator=(const BasicConfigServer&) = delete;

  Settings& Config() { return m_Config; }
  const Settings& Config() const { return m_Config; }

  // Tells every registered client, oldest registration first. Must not be
  // called from inside a handler (that is refused, not deadlocked).
  void BroadcastConfigChange() {
    Validation2Exception::CheckLogic(!OnBroadcastingThread(),
                                     "Configuration broadcast from inside a broadcast");
    AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
    m_BroadcastingThread.store(std::this_thread::get_id(), std::memory_order_release);
    struct EndOfWalk {
      BasicConfigServer* server;
      ~EndOfWalk() {
        server->m_Clients.remove(nullptr);
        server->m_BroadcastingThread.store(std::thread::id(), std::memory_order_release);
      }
    } endOfWalk{this};
    // Only the clients present at the start are walked: entries appended by a
    // handler lie beyond `count`, and list iterators survive appends.
    size_t count = m_Clients.size();
    auto it = m_Clients.begin();
    for (size_t i = 0; i < count; ++i, ++it) {
      if (*it == nullptr) continue;  // destroyed by an earlier handler
      try {
        (*it)->OnConfigChanged();
      } catch (...) {
        KIV_DIAG_NOTHROW("ConfigServer: Exception happened in OnConfigChanged, Ignored.\n");
      }
    }
  }

  // Number of registered clients (for diagnostics and tests).
  size_t ClientCount() {
    if (OnBroadcastingThread()) {
      HeldByBroadcast();
      return CountLive();
    }
    AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
    return CountLive();
  }

 private:
  // Only the thread that holds m_Lock for a broadcast can find its own id
  // here, so a match means the lock is already ours.
  bool OnBroadcastingThread() const {
    return m_BroadcastingThread.load(std::memory_order_acquire) == std::this_thread::get_id();
  }
  // Tells the analysis what OnBroadcastingThread() found: m_Lock is ours.
  void HeldByBroadcast() const ASSERT_CAPABILITY(m_Lock) {}
  size_t CountLive() const REQUIRES(m_Lock) {
    size_t live = 0;
    for (Client* c : m_Clients) live += c != nullptr;
    return live;
  }

  void Register(Client* client) {
    if (OnBroadcastingThread()) {
      HeldByBroadcast();
      m_Clients.push_back(client);
      return;
    }
    AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
    m_Clients.push_back(client);
  }

  void Unregister(Client* client) noexcept {
    try {
      if (OnBroadcastingThread()) {
        HeldByBroadcast();
        // The walk is in progress: clear the entry instead of unlinking it.
        for (Client*& c : m_Clients)
          if (c == client) c = nullptr;
        return;
      }
      AutoSync<CriticalSectionSyncPolicy> guard(m_Lock);
      m_Clients.remove(client);
    } catch (...) {
      KIV_DIAG_NOTHROW("ConfigServer: Unable to unregister a client.\n");
    }
  }

  Settings m_Config;
  CriticalSectionSyncPolicy m_Lock;
  std::list<Client*> m_Clients GUARDED_BY(m_Lock);  // nullptr = removed during a broadcast
  std::atomic<std::thread::id> m_BroadcastingThread{};
};

// The dispatcher's configuration server; clients derive from ConfigServer::Client.
using ConfigServer = BasicConfigServer<KivServerConfig>;
