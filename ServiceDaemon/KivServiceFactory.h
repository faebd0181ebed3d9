#pragma once
// The seam between the daemon control (start, stop, console) and the
// dispatcher service it runs.
//
// The daemon never names the service type. The program's main registers a
// factory once, before the command line is processed:
//
//   SetKivServiceFactory(&MakeKivService<KivServiceProvider>);
//
// and the daemon and console mode call CreateKivService() to build the
// running service: the provider plus the 100 ms timer that drives its
// Worker(). Destroying the result stops and joins the timer first, then
// destroys the provider.
//
// Contract for a provider type P: default-constructible; `void Worker()` is
// the periodic call (it may raise; the timer swallows it); its constructor
// takes the "KivService" presence lock (ServiceAvailabilityUsingPIDFile)
// before it creates, truncates or removes any shared file, so that a second
// dispatcher started next to a running one fails without disturbing it; its
// destructor never raises.

#include <memory>

#include "Support/Defaults.h"
#include "Support/TimerClassMemberFunction.h"

// A running dispatcher service; only its lifetime matters to the daemon.
class KivRunningService {
 public:
  virtual ~KivRunningService() = default;
};

// Provider first, then its timer; members are destroyed in reverse order, so
// the timer is joined before the provider goes.
template <class Provider>
class KivServiceWithTimer final : public KivRunningService {
 public:
  KivServiceWithTimer() : m_Timer(m_Provider, kPollPeriodMs) {}
  Provider& Service() { return m_Provider; }

 private:
  Provider m_Provider;
  TimerClassMemberFunction<Provider, true> m_Timer;
};

using KivServiceFactory = std::unique_ptr<KivRunningService> (*)();

template <class Provider>
std::unique_ptr<KivRunningService> MakeKivService() {
  return std::make_unique<KivServiceWithTimer<Provider>>();
}

// Registers the factory used by CreateKivService (call from main).
void SetKivServiceFactory(KivServiceFactory factory);
// Builds the running service; raises "Bad logic:No service factory registered"
// when main registered none, and whatever the provider's constructor raises.
std::unique_ptr<KivRunningService> CreateKivService();
