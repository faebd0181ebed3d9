#pragma once
// The dispatcher's syslog output: follows the "Syslog" settings and, while
// they switch it on, owns the SyslogSender every dispatcher hands its
// written blocks to (in addition to its own output).
//
// One per process, owned by the service provider; Current() finds it for the
// dispatchers. It must be made before any dispatcher and destroyed after the
// last one (the provider declares it before its server managers).
//
// A change of settings that concerns the syslog output replaces the sender;
// the queued blocks and the counts go over to the new one. Other changes
// leave it alone, so a reload does not drop the connection needlessly.
//
// Locking: m_Lock guards m_Sender (held while a block is offered, which only
// queues a copy, and while the sender is replaced). Lock order: the
// dispatcher's lock, then m_Lock, then the sender's queue lock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/StatusReport.h"
#include "KivService/SyslogSender.h"
#include "Support/ThreadAnnotations.h"

class SyslogOutput : public ConfigServer::Client {
 public:
  SyslogOutput(ConfigServer& server, StatusReport::Collector& collector);
  ~SyslogOutput() override;

  // The process's syslog output, or null (none made, as in unit tests of
  // the dispatcher).
  static SyslogOutput* Current() { return s_Current.load(std::memory_order_acquire); }

  void OnConfigChanged() override;

  // Hands a written block over; `origin` is the host to report (empty: each
  // block's own host name). Does nothing while the output is off.
  void Offer(std::string_view origin, const void* block, uint32_t length) noexcept;

  // Is a sender running (lock-free: dispatchers ask before every block,
  // and hand a block over whole only while it is), and its counts.
  bool IsOn() const { return m_On.load(std::memory_order_acquire); }
  uint64_t Sent();
  uint64_t Lost();

 private:
  // The sender as the thread that replaces it sees it: that thread alone
  // writes m_Sender, so it may read it without m_Lock.
  SyslogSender* SenderForReplacer() const NO_THREAD_SAFETY_ANALYSIS { return m_Sender.get(); }

  static std::atomic<SyslogOutput*> s_Current;
  StatusReport::Collector& m_Collector;
  CriticalSectionSyncPolicy m_Lock;
  std::unique_ptr<SyslogSender> m_Sender GUARDED_BY(m_Lock);  // null while off
  std::atomic<bool> m_On{false};                              // m_Sender is set; stored under m_Lock
};
