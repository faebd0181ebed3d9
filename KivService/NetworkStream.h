#pragma once
// The network output of a dispatcher: a FallbackEnabledStream and the thread
// that ticks its reconnection every 1000 ms (first at once). Destruction
// stops the thread first, then closes the connection and any fallback file.

#include <cstdint>
#include <memory>
#include <string>

#include "KivService/FallbackEnabledStream.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "Support/TimerClassMemberFunction.h"

class NetworkStream : public KivTraceStreamDispatcher::Stream {
 public:
  NetworkStream(StatusReport::Collector& collector, const KivServerConfig& config, std::string name,
                uint32_t reconnectPeriodMs = kReconnectPeriodMs);
  ~NetworkStream() override;

  void write(const void* data, uint32_t length) override { m_Stream->write(data, length); }

  FallbackEnabledStream& Fallback() { return *m_Stream; }

 private:
  std::unique_ptr<FallbackEnabledStream> m_Stream;
  std::unique_ptr<TimerClassMemberFunction<FallbackEnabledStream>> m_Timer;
};
