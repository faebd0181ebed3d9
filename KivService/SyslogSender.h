#pragma once
// Sends trace blocks to a syslog server, one message per record (see
// TraceData/SyslogRecord.h), over TCP or TLS, from a thread of its own.
//
// Offer() copies a block into a queue bounded by the configured size and
// returns at once: the threads that write trace data never wait for the
// network. The sender thread formats and sends the queued blocks in order,
// keeps a block queued until all its messages are out, and while the server
// cannot be reached reconnects every second. A block that does not fit the
// queue is dropped and its records counted as lost; local log files are not
// affected either way.
//
// Before each send an idle connection is checked for a close by the server,
// so a restarted server costs no records that were still queued. Records
// already handed to a connection the server drops without closing it are
// beyond reach (the protocol has no acknowledgement).
//
// Status entries (made with the sender, removed with it):
// "Output\Syslog\Server", "Output\Syslog\Connected", "Output\Syslog\Sent",
// "Output\Syslog\Dropped" (records lost: queue full).
//
// Locking: m_QueueLock guards m_Queue, m_QueuedBytes and m_Lost; it is held
// only to add, look at or remove a queue entry, never while formatting or
// sending. Everything else belongs to the sender thread. Lifetime: the
// collector must outlive the sender; destruction stops the thread (a send in
// progress gives up within a fraction of a second).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "KivConfigFileReader/SyslogSettings.h"
#include "KivService/StatusReport.h"
#include "Support/Defaults.h"
#include "Support/Mutex.h"

class ClientByteStream;
class TlsClientContext;

class SyslogSender {
 public:
  static constexpr int kConnectTimeoutMs = 5000;
  static constexpr int kStallTimeoutMs = 10000;  // a server that takes nothing this long is dropped

  // A queued block and the host its records are reported under (empty: the
  // host name each block carries).
  struct Item {
    std::string origin;
    std::vector<char> block;
  };
  // What a replaced sender leaves to its successor.
  struct Carry {
    std::deque<Item> queue;
    uint64_t sent = 0;
    uint64_t lost = 0;
  };

  // Starts the sender thread; `carry` holds the queue and counts of a
  // sender these settings replace (blocks beyond the new bound are lost).
  SyslogSender(const SyslogSettings& settings, StatusReport::Collector& collector, Carry carry);
  SyslogSender(const SyslogSettings& settings, StatusReport::Collector& collector)
      : SyslogSender(settings, collector, Carry()) {}
  ~SyslogSender();
  SyslogSender(const SyslogSender&) = delete;
  SyslogSender& operator=(const SyslogSender&) = delete;

  // Queues a copy of the block; never raises, never waits for the network.
  void Offer(std::string_view origin, const void* block, uint32_t length) noexcept;

  // Stops the thread and hands over what is still queued and the counts.
  Carry Stop();

  const SyslogSettings& Settings() const { return m_Settings; }
  uint64_t Sent() const { return m_Sent.load(); }
  uint64_t Lost();
  bool IsConnected() const { return m_Connected.load(); }
  // Bytes of blocks waiting in the queue.
  size_t QueuedBytes();

 private:
  void Run() noexcept;
  bool Connect();
  void Disconnect();
  // Sends the front block's messages (m_Formatted) from m_FrontSent on;
  // true when all went out.
  bool SendFront();
  void AddLost(uint64_t records);
  void PublishCounts();

  const SyslogSettings m_Settings;
  const size_t m_QueueLimit;  // bytes

  StatusReport::Status m_ServerStatus;
  StatusReport::Status m_ConnectedStatus;
  StatusReport::Status m_SentStatus;
  StatusReport::Status m_DroppedStatus;

  Mutex m_QueueLock;
  std::condition_variable m_Wake;
  std::deque<Item> m_Queue GUARDED_BY(m_QueueLock);  // the front stays until sent
  size_t m_QueuedBytes GUARDED_BY(m_QueueLock) = 0;
  uint64_t m_Lost GUARDED_BY(m_QueueLock) = 0;

  std::atomic<bool> m_Stop{false};
  std::atomic<bool> m_Connected{false};
  std::atomic<uint64_t> m_Sent{0};

  // Sender thread only.
  std::unique_ptr<TlsClientContext> m_Tls;
  std::unique_ptr<ClientByteStream> m_Stream;
  std::string m_Formatted;            // the front block's messages
  std::vector<size_t> m_MessageEnds;  // end offset of each message in m_Formatted
  size_t m_FrontSent = 0;             // messages of the front block already sent
  std::string m_LastError;            // logged once until the next success

  std::thread m_Thread;  // last: started when everything above exists
};
