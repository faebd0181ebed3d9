#include "KivService/SyslogOutput.h"

#include "Support/AutoSync.h"
#include "Support/Logging.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

std::atomic<SyslogOutput*> SyslogOutput::s_Current{nullptr};

SyslogOutput::SyslogOutput(ConfigServer& server, StatusReport::Collector& collector)
    : ConfigServer::Client(server, false), m_Collector(collector) {
  s_Current.store(this, std::memory_order_release);
  Connect();
}

SyslogOutput::~SyslogOutput() {
  Disconnect();
  SyslogOutput* self = this;
  s_Current.compare_exchange_strong(self, nullptr);
  try {
    Guard guard(m_Lock);
    m_Sender.reset();
    m_On.store(false, std::memory_order_release);
  } catch (...) {
  }
}

void SyslogOutput::OnConfigChanged() {
  const KivServerConfig& config = Server()->Config();
  SyslogSettings wanted = config.m_Syslog;
  if (!config.m_TraceEnabled) wanted.m_On = false;
  // Only broadcasts (one at a time) and the destructor replace the sender,
  // so this thread may look at it without the lock.
  SyslogSender* current = SenderForReplacer();
  if (current && wanted.m_On && current->Settings() == wanted) return;
  // Stopped without the lock, so writers never wait for the sender thread;
  // blocks they offer meanwhile are counted lost by the stopped sender.
  SyslogSender::Carry carry;
  if (current) carry = current->Stop();
  Guard guard(m_Lock);
  if (current) {
    carry.lost = current->Lost();
    m_Sender.reset();  // its status entries go before the new sender makes its own
  }
  if (wanted.m_On) {
    m_Sender = std::make_unique<SyslogSender>(wanted, m_Collector, std::move(carry));
  } else if (!carry.queue.empty()) {
    KIV_DIAG_NOTHROW("Syslog output switched off with " << carry.queue.size() << " blocks unsent\n");
  }
  m_On.store(m_Sender != nullptr, std::memory_order_release);
}

void SyslogOutput::Offer(std::string_view origin, const void* block, uint32_t length) noexcept {
  try {
    Guard guard(m_Lock);
    if (m_Sender) m_Sender->Offer(origin, block, length);
  } catch (...) {
  }
}

uint64_t SyslogOutput::Sent() {
  Guard guard(m_Lock);
  return m_Sender ? m_Sender->Sent() : 0;
}

uint64_t SyslogOutput::Lost() {
  Guard guard(m_Lock);
  return m_Sender ? m_Sender->Lost() : 0;
}
