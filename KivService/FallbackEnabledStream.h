#pragma once
// Forwards trace blocks to a remote dispatcher over TCP (TLS when the
// "Client" settings name certificate files) and writes them to
// local log files (the fallback) while there is no connection. Connections
// are made only by Worker(), the 1000 ms reconnect tick that NetworkStream
// runs on a thread of its own; a send that fails drops the connection and
// the block goes to the fallback files whole.
//
// Remote host, port and file settings are copied when the stream is made:
// the owner rebuilds the stream on every change of settings, so the tick
// never reads settings that another thread may be rewriting.
//
// Locking: m_Lock guards m_Socket and m_Fallback. A connection attempt is
// made without it (name look-up and connect take up to a second) and only
// installing the new connection takes it, so writers never wait for a
// connect. Lock order: the dispatcher's lock, then m_Lock, then the status
// entries' locks and the fallback stream's locks.

#include <cstdint>
#include <memory>
#include <string>

#include "KivConfigFileReader/KivServerConfig.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/StatusReport.h"
#include "SocketStream/Tls.h"
#include "SocketStream/WriteStream.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/Defaults.h"
#include "Support/ThreadAnnotations.h"

class FallbackEnabledStream {
 public:
  // Registers the three "Output\Network\..." status entries; connects
  // nothing. `collector` must outlive the stream.
  FallbackEnabledStream(StatusReport::Collector& collector, const KivServerConfig& config, std::string name);
  ~FallbackEnabledStream();
  FallbackEnabledStream(const FallbackEnabledStream&) = delete;
  FallbackEnabledStream& operator=(const FallbackEnabledStream&) = delete;

  // Sends the block as one message when connected (closing a fallback file
  // left from before the connection), otherwise or when the send fails
  // appends it to the fallback files. Raises only when no fallback file
  // stream can be made.
  void write(const void* data, uint32_t length);

  // The reconnect tick: one connection attempt when not connected. Failures
  // only keep the stream in fallback.
  void Worker();

  bool IsConnected();
  bool HasFallback();

 private:
  void TryCreateSocketStream();
  void WriteToFallback(const void* data, uint32_t length) REQUIRES(m_Lock);

  StatusReport::Collector& m_Collector;
  StatusReport::Status m_RemoteServerAddress;
  StatusReport::Status m_RemoteServerPort;
  StatusReport::Status m_FallbackStatus;
  CriticalSectionSyncPolicy m_Lock;
  const KivServerConfig m_Config;  // copy taken when the stream was made
  const std::string m_Name;
  // Made by the first connection attempt when "Client" names TLS files; used
  // only by Worker(), and by the connection it made (which it outlives).
  std::unique_ptr<SocketStream::TlsContext> m_Tls;
  std::unique_ptr<SocketStream::WriteStream> m_Socket GUARDED_BY(m_Lock);           // owned, or none
  std::unique_ptr<KivTraceStreamDispatcher::Stream> m_Fallback GUARDED_BY(m_Lock);  // owned, or none
};
