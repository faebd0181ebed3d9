#pragma once
// Stand-in for the dispatcher's service provider until the full provider is
// available: it only publishes the dispatcher's presence through
// "{temp}KivService.lck" and "{temp}KivService.pid", so that start, stop and
// console work end to end and client monitors can see a dispatcher.
// Replace it in kivserver's main with MakeKivService<KivServiceProvider>.

#include "ServiceDaemon/KivServiceFactory.h"
#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"

class PlaceholderKivService {
 public:
  PlaceholderKivService() : m_Presence(KivServicePresenceName) {}
  virtual ~PlaceholderKivService() = default;
  void Worker() {}

 private:
  ServiceAvailabilityUsingPIDFile m_Presence;
};
