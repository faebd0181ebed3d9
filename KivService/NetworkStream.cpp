#include "KivService/NetworkStream.h"

NetworkStream::NetworkStream(StatusReport::Collector& collector, const KivServerConfig& config,
                             std::string name, uint32_t reconnectPeriodMs)
    : m_Stream(std::make_unique<FallbackEnabledStream>(collector, config, std::move(name))),
      m_Timer(
          std::make_unique<TimerClassMemberFunction<FallbackEnabledStream>>(*m_Stream, reconnectPeriodMs)) {}

NetworkStream::~NetworkStream() {
  m_Timer.reset();  // no tick may run while the connection goes away
  m_Stream.reset();
}
