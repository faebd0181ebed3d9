#include "ServiceDaemon/KivServiceFactory.h"

#include <atomic>

#include "Support/Validation2Exception.h"

namespace {
std::atomic<KivServiceFactory> s_Factory{nullptr};
}

void SetKivServiceFactory(KivServiceFactory factory) { s_Factory.store(factory); }

std::unique_ptr<KivRunningService> CreateKivService() {
  KivServiceFactory factory = s_Factory.load();
  Validation2Exception::CheckLogic(factory != nullptr, "No service factory registered");
  return factory();
}
