#pragma once
// A client process's side of the dispatcher protocol, without the client
// library: for tests that run against a real kivserver.
//
//   kivtest::ProtocolClient client;                 // creates both rings of this pid
//   ASSERT_TRUE(client.Register());                 // registration, waits for the confirmation
//   uint32_t seq = client.WriteRecord("hello");     // one record, number from the shared counter
//   ASSERT_TRUE(client.WaitUntilDrained());         // the dispatcher took it
//   ASSERT_TRUE(client.RequestConfigChange(PauseTracing));
//   ASSERT_TRUE(client.Unregister());
//
// The client creates "KivServerMessageBuffer"+pid and "KivTraceBuffer"+pid
// in {temp} (the dispatcher must be running, its {temp} existing) and, as
// their creator, removes them on destruction (a client killed by a signal
// leaves them behind, as a real one would).
// Sends go into the dispatcher's ring under the message lock, exactly as the
// client library does. Everything received is kept in Messages().
//
// The pid defaults to this process's; another pid lets one test process act
// as several clients (the dispatcher watches that pid, so it must be a live
// process). Single-threaded: one thread uses a client at a time. In a forked
// child, create the client in the child.

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TraceService/Messages.h"

namespace kivtest {

struct ReceivedMessage {
  uint32_t sourceId = 0;
  uint32_t type = 0;
  uint32_t code = 0;  // 0 for a ping, which has none
  uint32_t length = 0;
};

class ProtocolClient {
 public:
  explicit ProtocolClient(uint32_t pid = static_cast<uint32_t>(getpid()));
  ~ProtocolClient();
  ProtocolClient(const ProtocolClient&) = delete;
  ProtocolClient& operator=(const ProtocolClient&) = delete;

  uint32_t Pid() const { return m_Pid; }

  // One message into the dispatcher's ring; false when it did not fit (or
  // the ring is missing: the dispatcher does not run).
  bool SendRegistration();
  // As the real client: the trace ring's file goes first (ReleaseTraceRingFile),
  // which is what makes the dispatcher believe the message.
  bool SendUnregistration();
  void ReleaseTraceRingFile();
  // An un-registration naming `pid`, sent by whoever calls (a forger).
  static bool SendUnregistrationOf(uint32_t pid);
  bool SendConfigChange(RuntimeConfigChangeCode code);
  bool SendRaw(const void* data, size_t length);

  // Send and wait for the matching confirmation (code 1 for both service
  // messages, 2 for a configuration change). False on a time-out.
  bool Register(std::chrono::milliseconds deadline = std::chrono::seconds(10));
  bool Unregister(std::chrono::milliseconds deadline = std::chrono::seconds(10));
  bool RequestConfigChange(RuntimeConfigChangeCode code,
                           std::chrono::milliseconds deadline = std::chrono::seconds(10));

  // Reads everything in this client's message ring into Messages().
  void Poll();
  // Polls until `count` messages of `type` (and `code`, unless negative) have
  // arrived in all, or the deadline passes.
  bool WaitForMessages(uint32_t type, int64_t code, size_t count,
                       std::chrono::milliseconds deadline = std::chrono::seconds(10));
  size_t CountMessages(uint32_t type, int64_t code = -1) const;
  const std::vector<ReceivedMessage>& Messages() const { return m_Messages; }

  // Writes one record (number from the shared counter, the current time,
  // thread id, the given names and text) into the trace ring as one write.
  // Returns its sequence number; raises when the ring has no room.
  uint32_t WriteRecord(std::string_view text, std::string_view module = "TestModule",
                       std::string_view label = "TestLabel", std::string_view client = "ProtocolClient");
  // Bytes waiting in the trace ring, and where the next record goes.
  uint32_t TraceBytesWaiting() const;
  uint32_t TraceWritePosition() const;
  // Waits until the dispatcher has taken everything from the trace ring.
  bool WaitUntilDrained(std::chrono::milliseconds deadline = std::chrono::seconds(10));

  // Writes `header` (read position, write position, capacity) over the
  // trace ring's header, as a misbehaving client might.
  void OverwriteTraceRingHeader(uint32_t read, uint32_t write, uint32_t capacity);

  static std::string MessageRingFile(uint32_t pid);
  static std::string TraceRingFile(uint32_t pid);

 private:
  struct Rings;
  uint32_t m_Pid;
  std::unique_ptr<Rings> m_Rings;
  std::vector<ReceivedMessage> m_Messages;
};

}  // namespace kivtest
