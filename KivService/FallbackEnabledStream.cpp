#include "KivService/FallbackEnabledStream.h"

#include <exception>

#include "KivService/FileStream.h"
#include "SocketStream/Client.h"
#include "Support/AutoSync.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

using Guard = AutoSync<CriticalSectionSyncPolicy>;

FallbackEnabledStream::FallbackEnabledStream(StatusReport::Collector& collector,
                                             const KivServerConfig& config, std::string name)
    : m_Collector(collector),
      m_RemoteServerAddress(collector, "Output\\Network\\RemoteServerAddress",
                            "Address of remote server where data is sent to", StatusReport::Text),
      m_RemoteServerPort(collector, "Output\\Network\\RemoteServerPort",
                         "Port of remote server where data is sent to", StatusReport::Number),
      m_FallbackStatus(collector, "Output\\Network\\Fallback", "Fallback mode of network output",
                       StatusReport::Text),
      m_Config(config),
      m_Name(std::move(name)) {
  m_RemoteServerAddress.SetText(m_Config.m_ServerName);
  m_RemoteServerPort.SetNumber(m_Config.m_ClientPort);
}

FallbackEnabledStream::~FallbackEnabledStream() = default;

void FallbackEnabledStream::write(const void* data, uint32_t length) {
  Guard guard(m_Lock);
  if (m_Socket) {
    // The first block after a reconnection closes the fallback file.
    m_Fallback.reset();
    try {
      m_Socket->write(data, length);
      return;
    } catch (const std::exception& e) {
      KIV_DIAG_NOTHROW("Network output: " << e.what() << "; block goes to the fallback files\n");
    }
    // A stream that refused only this block (too large to send) is still
    // sound; any other failure leaves the peer with a partial message, and
    // the connection cannot be used any more.
    if (m_Socket->Broken()) m_Socket.reset();
  }
  WriteToFallback(data, length);
}

void FallbackEnabledStream::WriteToFallback(const void* data, uint32_t length) {
  if (!m_Fallback) {
    try {
      m_Fallback = MakeFileStream(m_Collector, m_Config, m_Name, m_Config.m_LogFormat);
    } catch (const std::bad_alloc&) {
      Validation2Exception::CheckMemoryAllocation(false, "Can not create fallback stream");
    }
    m_FallbackStatus.SetText("on");
  }
  m_Fallback->write(data, length);
}

void FallbackEnabledStream::Worker() {
  {
    Guard guard(m_Lock);
    if (m_Socket) return;
  }
  TryCreateSocketStream();
}

void FallbackEnabledStream::TryCreateSocketStream() {
  try {
    // Only this thread makes connections, so connecting outside m_Lock
    // cannot race another attempt; writers meanwhile go on to the fallback.
    const NetworkTlsFiles& files = m_Config.m_ClientTls;
    if (files.Any() && !m_Tls)
      m_Tls = std::make_unique<SocketStream::TlsContext>(
          SocketStream::TlsContext::Role::Client,
          SocketStream::TlsFiles{files.m_Certificate, files.m_Key, files.m_Ca});
    auto client = std::make_unique<SocketStream::Client>(m_Config.m_ServerName, m_Config.m_ClientPort,
                                                         SocketStream::Client::kConnectTimeoutMs,
                                                         SocketStream::Client::kSendTimeoutMs, m_Tls.get());
    auto stream = std::make_unique<SocketStream::WriteStream>(std::move(client));
    Guard guard(m_Lock);
    m_Socket = std::move(stream);
    m_FallbackStatus.SetText("no");
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("Network output: no connection to "
                     << m_Config.m_ServerName << ":" << m_Config.m_ClientPort << ": " << e.what() << "\n");
    // Blocks go to the fallback files from now on, whether or not one has
    // arrived yet.
    try {
      m_FallbackStatus.SetText("on");
    } catch (...) {
    }
  }
}

bool FallbackEnabledStream::IsConnected() {
  Guard guard(m_Lock);
  return m_Socket != nullptr;
}

bool FallbackEnabledStream::HasFallback() {
  Guard guard(m_Lock);
  return m_Fallback != nullptr;
}
