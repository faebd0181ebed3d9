#pragma once
// A stand-in dispatcher for the client-side tests: it publishes itself like
// the real one (message ring, record sequence counter, then the "KivService"
// presence files), reads its ring on a thread every 10 ms, confirms
// registrations, un-registrations and configuration changes from registered
// clients, and forwards reload, pause and resume to every registered client.
//
// What it received is kept as event lines ("register <pid>", "unregister
// <pid>", "change <pid> <code>", "refused <pid> <code>" for a change from an
// unregistered process), in memory and, when a file is named, appended to it
// (for a fake running in a child process).
//
// Run it as an object of the test process, or in a child process with
// StartFakeDispatcherProcess (which can then be killed like a crashed
// dispatcher) or FakeDispatcherProcess. {temp} must exist.
//
// A test that forks clients uses FakeDispatcherProcess: a child forked while
// another thread of its parent is inside the sanitizers' allocator (a thread
// just starting is) inherits that allocator lock held for good and hangs at
// its first allocation of that size; the child's leak check also counts the
// parent's threads as its own. The test process stays single-threaded.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KivService/KivRecordSequenceGenerator.h"
#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"
#include "Support/TestFork.h"
#include "TraceService/TraceService.h"

namespace kivtest {

class FakeDispatcher {
 public:
  explicit FakeDispatcher(std::string eventFile = "")
      : m_EventFile(std::move(eventFile)),
        m_Sequence(KivRecordSequenceGenerator::Create),
        m_Presence("KivService"),
        m_Thread([this] { Run(); }) {}
  ~FakeDispatcher() {
    m_Stop = true;
    m_Thread.join();
  }

  // While false, nothing is confirmed (a dispatcher that does not answer).
  std::atomic<bool> confirm{true};

  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Events;
  }
  size_t Count(const std::string& event) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    size_t n = 0;
    for (const auto& e : m_Events) n += e == event;
    return n;
  }
  bool IsRegistered(uint32_t pid) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Clients.count(pid) != 0;
  }

  // MessageProcessor's handler.
  void Handle(const MessageHeader* header) {
    uint32_t pid = header->m_SourceId;
    if (header->m_Type == MessageTypeService) {
      bool registering = header->m_Code == CodeRegister;
      {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (registering)
          m_Clients.insert(pid);
        else
          m_Clients.erase(pid);
      }
      Record((registering ? "register " : "unregister ") + std::to_string(pid));
      if (confirm) Send(pid, MessageConfirmation(ConfirmRegistration));
    } else if (header->m_Type == MessageTypeRuntimeConfigChange) {
      std::string codes = std::to_string(pid) + " " + std::to_string(header->m_Code);
      if (!IsRegistered(pid)) {
        Record("refused " + codes);
        return;
      }
      Record("change " + codes);
      if (!confirm) return;
      Send(pid, MessageConfirmation(ConfirmConfigChange));
      if (header->m_Code <= ResumeTracing) {
        MessageRuntimeConfigurationChange forwarded(pid,
                                                    static_cast<RuntimeConfigChangeCode>(header->m_Code));
        std::set<uint32_t> clients;
        {
          std::lock_guard<std::mutex> lock(m_Lock);
          clients = m_Clients;
        }
        for (uint32_t client : clients) Send(client, forwarded);
      }
    }
  }

 private:
  void Run() {
    MessageProcessor<FakeDispatcher> processor(*this);
    while (!m_Stop) {
      while (m_Ring.GetDataLength() != 0) processor.Process(m_Ring);
      usleep(10 * 1000);
    }
  }
  template <class Message>
  static void Send(uint32_t pid, const Message& message) {
    try {
      ClientMessageSendingStream stream(pid);
      MessageTransmitter<ClientMessageSendingStream>(stream).Send(message);
    } catch (...) {
      // A client whose ring is gone; the real dispatcher drops it too.
    }
  }
  void Record(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Events.push_back(event);
    if (m_EventFile.empty()) return;
    int fd = ::open(m_EventFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string line = event + "\n";
    if (fd >= 0 && ::write(fd, line.data(), line.size()) < 0) line.clear();
    if (fd >= 0) ::close(fd);
  }

  std::string m_EventFile;
  ServerMessageReceivingStream m_Ring;
  KivRecordSequenceGenerator m_Sequence;
  ServiceAvailabilityUsingPIDFile m_Presence;
  mutable std::mutex m_Lock;
  std::vector<std::string> m_Events;  // guarded by m_Lock
  std::set<uint32_t> m_Clients;       // guarded by m_Lock
  std::atomic<bool> m_Stop{false};
  std::thread m_Thread;
};

// A fake dispatcher in a child process, appending its events to `eventFile`;
// it runs until killed. Returns the child's pid once it is published.
inline pid_t StartFakeDispatcherProcess(const std::string& eventFile) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = StartChild([&] {
    FakeDispatcher dispatcher(eventFile);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 1;
    for (;;) pause();
  });
  close(ready[1]);  // so a child that dies early ends the read
  char c = 0;
  ssize_t n = read(ready[0], &c, 1);
  close(ready[0]);
  return n == 1 ? child : -1;
}

// Kills a child process like a crash and reaps it.
inline void KillChild(pid_t pid) {
  kill(pid, SIGKILL);
  WaitChild(pid);
}

// A FakeDispatcher in its own child process for the life of this object,
// answering the same questions from its event file `eventFile` (which it
// appends to before it confirms, so a confirmed event is always there).
// Destruction kills it. Pid() is -1 when it could not be started.
class FakeDispatcherProcess {
 public:
  explicit FakeDispatcherProcess(std::string eventFile)
      : m_EventFile(std::move(eventFile)), m_Pid(StartFakeDispatcherProcess(m_EventFile)) {}
  ~FakeDispatcherProcess() {
    if (m_Pid > 0) KillChild(m_Pid);
  }
  FakeDispatcherProcess(const FakeDispatcherProcess&) = delete;
  FakeDispatcherProcess& operator=(const FakeDispatcherProcess&) = delete;

  pid_t Pid() const { return m_Pid; }
  std::vector<std::string> Events() const {
    std::vector<std::string> events;
    std::ifstream in(m_EventFile);
    for (std::string line; std::getline(in, line);) events.push_back(line);
    return events;
  }
  size_t Count(const std::string& event) const {
    size_t n = 0;
    for (const auto& e : Events()) n += e == event;
    return n;
  }
  // Registered by its last registration message.
  bool IsRegistered(uint32_t pid) const {
    bool registered = false;
    for (const auto& e : Events()) {
      if (e == "register " + std::to_string(pid)) registered = true;
      if (e == "unregister " + std::to_string(pid)) registered = false;
    }
    return registered;
  }

 private:
  std::string m_EventFile;
  pid_t m_Pid;
};

}  // namespace kivtest
