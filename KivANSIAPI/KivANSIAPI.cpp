#include "KivANSIAPI/KivANSIAPI.h"

#include <syslog.h>

#include <exception>

#include "KivANSIAPI/KivClientProcess.h"
#include "Support/Validation2Exception.h"

namespace {

void ReportFailure(const char* text) {
  openlog("KIVAPI", LOG_CONS | LOG_PID, LOG_USER);
  syslog(LOG_ERR, "%s", text);
  closelog();
}

// The common start of every function: the process's proxy, its monitor
// running (which registers the process when the dispatcher runs).
KivServiceMonitorProxy& Started() {
  KivServiceMonitorProxy& proxy = KivClientProcess::Proxy();
  proxy.CreateMonitorOnDemand();
  return proxy;
}

// Runs `body`; a failure goes to the system log and answers -1.
template <class Body>
int Reported(Body&& body) {
  try {
    body();
    return 0;
  } catch (const std::exception& e) {
    ReportFailure(e.what());
  } catch (...) {
    ReportFailure("Unknown failure");
  }
  return -1;
}

int Request(RuntimeConfigChangeCode code) {
  return Reported([&] { Started().RequestConfigurationChange(code); });
}

}  // namespace

extern "C" {

int KivTraceEnabledEx(int moduleHandle, uint32_t clientNumber, int labelHandle) {
  try {
    KivFilterManager::TraceNames names;
    return KivClientProcess::IsTraceEnabled(moduleHandle, clientNumber, labelHandle, names) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int KivGetModuleHandle(const char* moduleName, int* moduleHandle) {
  return Reported([&] {
    Validation2Exception::CheckParameter(moduleName != nullptr, "'Name' is not a valid pointer");
    Validation2Exception::CheckParameter(moduleHandle != nullptr, "'Module' is not a valid pointer");
    *moduleHandle = KivClientProcess::Filters(Started()).GetModuleHandle(moduleName);
  });
}

int KivGetLabelHandle(const char* labelName, int* labelHandle) {
  return Reported([&] {
    Validation2Exception::CheckParameter(labelName != nullptr, "'Name' is not a valid pointer");
    Validation2Exception::CheckParameter(labelHandle != nullptr, "'Label' is not a valid pointer");
    *labelHandle = KivClientProcess::Filters(Started()).GetLabelHandle(labelName);
  });
}

int KivRegisterClient(int moduleHandle, uint32_t clientNumber, const char* clientName) {
  return Reported([&] {
    Validation2Exception::CheckParameter(clientName != nullptr, "'Name' is not a valid pointer");
    KivClientProcess::Filters(Started()).RegisterClient(moduleHandle, clientNumber, clientName);
  });
}

int KivPause(void) { return Request(PauseTracing); }
int KivResume(void) { return Request(ResumeTracing); }
int KivReloadConfig(void) { return Request(ReloadConfigFile); }
int KivPreservationOn(void) { return Request(PreservationOn); }
int KivPreservationOff(void) { return Request(PreservationOff); }

}  // extern "C"
