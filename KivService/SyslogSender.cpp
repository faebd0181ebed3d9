#include "KivService/SyslogSender.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <exception>

#include "KivService/ClientByteStream.h"
#include "KivService/TlsClientStream.h"
#include "Support/Logging.h"
#include "Support/SysLogEntry.h"
#include "TraceData/BlockRecords.h"
#include "TraceData/SyslogRecord.h"

namespace {

uint32_t Clamp32(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value); }

uint64_t CountRecords(const void* block, uint32_t length) {
  uint64_t count = 0;
  try {
    ForEachDecodedRecord(block, length, [&](const DecodedRecord&) { ++count; });
  } catch (...) {
    // A damaged block counts the records read before the damage.
  }
  return count;
}

}  // namespace

SyslogSender::SyslogSender(const SyslogSettings& settings, StatusReport::Collector& collector, Carry carry)
    : m_Settings(settings),
      m_QueueLimit(static_cast<size_t>(settings.m_QueueKilobytes) << 10),
      m_ServerStatus(collector, "Output\\Syslog\\Server", "Syslog server and transport", StatusReport::Text),
      m_ConnectedStatus(collector, "Output\\Syslog\\Connected", "Connection to the syslog server",
                        StatusReport::Text),
      m_SentStatus(collector, "Output\\Syslog\\Sent", "Records sent to the syslog server",
                   StatusReport::Number),
      m_DroppedStatus(collector, "Output\\Syslog\\Dropped", "Records lost for the syslog server (queue full)",
                      StatusReport::Number),
      m_Lost(carry.lost),
      m_Sent(carry.sent) {
  m_ServerStatus.SetText(settings.m_Server + ":" + std::to_string(settings.m_Port) +
                         (settings.m_Tls ? " tls" : " tcp"));
  m_ConnectedStatus.SetText("no");
  // The carried queue is taken oldest first while it fits the new bound.
  for (Item& item : carry.queue) {
    if (m_QueuedBytes + item.block.size() <= m_QueueLimit) {
      m_QueuedBytes += item.block.size();
      m_Queue.push_back(std::move(item));
    } else {
      m_Lost += CountRecords(item.block.data(), static_cast<uint32_t>(item.block.size()));
    }
  }
  PublishCounts();
  m_Thread = std::thread(&SyslogSender::Run, this);
}

SyslogSender::~SyslogSender() { Stop(); }

SyslogSender::Carry SyslogSender::Stop() {
  m_Stop.store(true);
  m_Wake.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
  Carry carry;
  MutexLock guard(m_QueueLock);
  carry.queue.swap(m_Queue);
  m_QueuedBytes = 0;
  // A front block the thread had partly sent goes over whole: the successor
  // sends its first records again (only a reload in the middle of a block).
  carry.sent = m_Sent.load();
  carry.lost = m_Lost;
  return carry;
}

void SyslogSender::Offer(std::string_view origin, const void* block, uint32_t length) noexcept {
  if (length == 0) return;
  try {
    {
      MutexLock guard(m_QueueLock);
      if (!m_Stop.load() && m_QueuedBytes + length <= m_QueueLimit) {
        const char* bytes = static_cast<const char*>(block);
        m_Queue.push_back(Item{std::string(origin), std::vector<char>(bytes, bytes + length)});
        m_QueuedBytes += length;
        m_Wake.notify_one();
        return;
      }
    }
    AddLost(CountRecords(block, length));
  } catch (const std::exception&) {
    // Out of memory for the copy: the block is lost for syslog only.
    AddLost(CountRecords(block, length));
  }
}

void SyslogSender::AddLost(uint64_t records) {
  {
    MutexLock guard(m_QueueLock);
    m_Lost += records;
  }
  PublishCounts();
}

uint64_t SyslogSender::Lost() {
  MutexLock guard(m_QueueLock);
  return m_Lost;
}

size_t SyslogSender::QueuedBytes() {
  MutexLock guard(m_QueueLock);
  return m_QueuedBytes;
}

void SyslogSender::PublishCounts() {
  try {
    m_SentStatus.SetNumber(Clamp32(m_Sent.load()));
    m_DroppedStatus.SetNumber(Clamp32(Lost()));
  } catch (...) {
  }
}

void SyslogSender::Run() noexcept {
  // A TLS write to a closed connection must fail, not kill the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  bool formatted = false;
  while (!m_Stop.load()) {
    try {
      if (!m_Stream && !Connect()) {
        MutexLock lock(m_QueueLock);
        m_Wake.wait_for(lock.Unique(), std::chrono::milliseconds(kReconnectPeriodMs),
                        [&] { return m_Stop.load(); });
        continue;
      }
      const Item* front = nullptr;
      {
        MutexLock lock(m_QueueLock);
        m_Wake.wait_for(lock.Unique(), std::chrono::milliseconds(kReconnectPeriodMs),
                        [&]() REQUIRES(m_QueueLock) { return m_Stop.load() || !m_Queue.empty(); });
        if (m_Stop.load()) break;
        // The front is only ever removed by this thread, so the pointer
        // stays valid while the lock is released (deque push_back keeps
        // references).
        if (!m_Queue.empty()) front = &m_Queue.front();
      }
      if (front == nullptr) {
        // Idle: notice a server that went away before records wait for it.
        if (m_Stream->PeerClosed()) Disconnect();
        continue;
      }
      if (!formatted) {
        m_Formatted.clear();
        m_MessageEnds.clear();
        m_FrontSent = 0;
        SyslogRecordFormat format{m_Settings.m_AppName, m_Settings.m_SdId, front->origin};
        try {
          ForEachDecodedRecord(front->block.data(), static_cast<uint32_t>(front->block.size()),
                               [&](const DecodedRecord& record) {
                                 AppendSyslogRecord(m_Formatted, record, format);
                                 m_MessageEnds.push_back(m_Formatted.size());
                               });
        } catch (const std::exception& e) {
          KIV_DIAG_NOTHROW("Syslog output: rest of a damaged block skipped: " << e.what() << "\n");
        }
        formatted = true;
      }
      if (!SendFront()) continue;  // reconnects and sends the rest
      formatted = false;
      {
        MutexLock guard(m_QueueLock);
        m_QueuedBytes -= m_Queue.front().block.size();
        m_Queue.pop_front();
      }
      PublishCounts();
    } catch (const std::exception& e) {
      KIV_DIAG_NOTHROW("Syslog output: " << e.what() << "\n");
      Disconnect();
    } catch (...) {
      Disconnect();
    }
  }
  Disconnect();
}

bool SyslogSender::SendFront() {
  if (m_FrontSent == 0 && m_Stream->PeerClosed()) {
    Disconnect();
    return false;
  }
  const size_t begin = m_FrontSent == 0 ? 0 : m_MessageEnds[m_FrontSent - 1];
  const size_t size = m_Formatted.size() - begin;
  const size_t written = m_Stream->Write(m_Formatted.data() + begin, size, m_Stop, kStallTimeoutMs);
  // Whole messages that went out are done; a cut message goes again whole
  // on the next connection (the receiver discards the cut frame).
  const size_t reached = begin + written;
  const size_t before = m_FrontSent;
  while (m_FrontSent < m_MessageEnds.size() && m_MessageEnds[m_FrontSent] <= reached) ++m_FrontSent;
  m_Sent.fetch_add(m_FrontSent - before);
  if (written == size) return true;
  Disconnect();
  return false;
}

bool SyslogSender::Connect() {
  std::string error;
  if (m_Settings.m_Tls && !m_Tls) {
    m_Tls =
        TlsClientContext::Create(m_Settings.m_TlsCa, m_Settings.m_TlsCertificate, m_Settings.m_TlsKey, error);
  }
  if (error.empty()) {
    int fd = ConnectTcpSocket(m_Settings.m_Server, m_Settings.m_Port, m_Stop, kConnectTimeoutMs, error);
    if (fd >= 0)
      m_Stream = m_Tls ? m_Tls->Connect(fd, m_Settings.m_Server, m_Stop, kConnectTimeoutMs, error)
                       : MakeTcpByteStream(fd);
  }
  if (m_Stream) {
    m_LastError.clear();
    m_Connected.store(true);
    m_ConnectedStatus.SetText("yes");
    return true;
  }
  if (error != m_LastError) {
    // Reported once per kind of failure, not at every retry.
    m_LastError = error;
    KIV_DIAG_NOTHROW("Syslog output: " << error << "\n");
    ReportFailureToSystemLog("Syslog output: " + error);
  }
  return false;
}

void SyslogSender::Disconnect() {
  m_Stream.reset();
  if (m_Connected.exchange(false)) {
    try {
      m_ConnectedStatus.SetText("no");
    } catch (...) {
    }
  }
}
