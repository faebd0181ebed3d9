// The trace calls of the client API: the filter answer and the names behind
// the handles come from the process's filter manager (its lock-free caches),
// the record goes to the current trace output (KivTraceOutput).

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "KivANSIAPI/KivANSIAPI.h"
#include "KivANSIAPI/KivClientProcess.h"
#include "KivANSIAPI/KivTraceOutput.h"

namespace {

// The names of an enabled trace call, or false when it is disabled, the
// process has no trace output, or anything fails: such calls cost a filter
// lookup and nothing else.
bool Enabled(int module, uint32_t client, int label, KivFilterManager::TraceNames& names) noexcept {
  try {
    KivServiceMonitorProxy& proxy = KivClientProcess::Proxy();
    proxy.CreateMonitorOnDemand();
    if (!KivClientProcess::Filters(proxy).IsTraceEnabled(module, client, label, &names)) return false;
  } catch (...) {
    return false;
  }
  if (!KivTraceOutput::HasWriter()) {
    // Enabled, but no dispatcher to take it: lost, counted, and told to the
    // next dispatcher. (A ring kept from a dispatcher that died still takes
    // records, carried over at the next registration.)
    TraceRecordWriting::CountUnpublishedDrop();
    return false;
  }
  return true;
}

int Write(const KivFilterManager::TraceNames& names, std::string_view text) noexcept {
  const std::string_view client = names.client ? names.client : "";
  return KivTraceOutput::Write(names.module ? names.module : "", names.label ? names.label : "",
                               names.client ? &client : nullptr, text)
             ? 1
             : 0;
}

}  // namespace

extern "C" {

int KivTrace(int module, uint32_t client, int label, const char* format, ...) {
  KivFilterManager::TraceNames names;
  if (!Enabled(module, client, label, names)) return 0;
  // One byte more than a record carries: vsnprintf's terminator.
  char text[KIV_MAX_MESSAGE_LENGTH + 1];
  int length = 0;
  if (format) {
    va_list args;
    va_start(args, format);
    length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  // A format error writes an empty message rather than nothing: the call
  // site still shows in the log.
  if (length < 0) length = 0;
  if (length > KIV_MAX_MESSAGE_LENGTH) length = KIV_MAX_MESSAGE_LENGTH;
  return Write(names, std::string_view(text, static_cast<size_t>(length)));
}

int KivTraceText(int module, uint32_t client, int label, const char* text, size_t length) {
  KivFilterManager::TraceNames names;
  if (!Enabled(module, client, label, names)) return 0;
  if (!text) length = 0;
  if (length > KIV_MAX_MESSAGE_LENGTH) length = KIV_MAX_MESSAGE_LENGTH;
  return Write(names, std::string_view(text ? text : "", length));
}

int KivTraceConnected(void) { return KivTraceOutput::IsAvailable() ? 1 : 0; }

int KivGetTraceStatistics(uint64_t* written, uint64_t* dropped) {
  const TraceRecordWriting::Statistics s = TraceRecordWriting::GetStatistics();
  if (written) *written = s.m_Written;
  if (dropped) *dropped = s.m_Dropped;
  return 0;
}

}  // extern "C"
