// The trace calls of the client API: the filter answer and the names behind
// the handles come from the process's filter manager (its answer words and
// lock-free caches), the record is built on the calling thread and goes to
// the current trace output (KivTraceOutput).

#include <cstdarg>
#include <string_view>

#include "KivANSIAPI/KivANSIAPI.h"
#include "KivANSIAPI/KivClientProcess.h"
#include "KivANSIAPI/KivTraceOutput.h"
#include "KivANSIAPI/MessageFormat.h"

namespace {

using Answer = KivFilterManager::Answer;
using Names = KivFilterManager::TraceNames;

// The names of an enabled trace call, or false when it is disabled, the
// process has no trace output, or anything fails: such calls cost a filter
// lookup and nothing else. `remembered` is the answer already looked up.
bool Enabled(Answer remembered, int module, uint32_t client, int label, Names& names) noexcept {
  if (remembered == Answer::Enabled) {
    KivClientProcess::RememberedNames(module, label, names);
  } else {
    try {
      if (!KivClientProcess::IsTraceEnabled(module, client, label, names)) return false;
    } catch (...) {
      return false;
    }
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

const std::string_view* ClientOf(const Names& names) { return names.hasClient ? &names.client : nullptr; }

// The rest of a call that is not known to be disabled: apart, so that a
// disabled call sets up no frame for the record.
[[gnu::noinline]] int WriteText(Answer remembered, int module, uint32_t client, int label, const char* text,
                                size_t length) noexcept {
  Names names;
  if (!Enabled(remembered, module, client, label, names)) return 0;
  if (!text) length = 0;
  if (length > KIV_MAX_MESSAGE_LENGTH) length = KIV_MAX_MESSAGE_LENGTH;
  TraceRecordWriting::Image image;
  TraceRecordWriting::Build(image, names.module, names.label, ClientOf(names),
                            std::string_view(text ? text : "", length));
  return KivTraceOutput::Write(image) ? 1 : 0;
}

[[gnu::noinline]] int WriteFormatted(Answer remembered, int module, uint32_t client, int label,
                                     const char* format, va_list args) noexcept {
  Names names;
  if (!Enabled(remembered, module, client, label, names)) return 0;
  // Formatted straight into the record: the image has room for the longest
  // message and vsnprintf's terminator.
  TraceRecordWriting::Image image;
  const uint32_t textOffset = TraceRecordWriting::Begin(image, names.module, names.label, ClientOf(names));
  int length = format ? MessageFormat::Format(reinterpret_cast<char*>(image.m_Bytes + textOffset),
                                              KIV_MAX_MESSAGE_LENGTH + 1, format, args)
                      : 0;
  // A format error writes an empty message rather than nothing: the call
  // site still shows in the log.
  if (length < 0) length = 0;
  if (length > KIV_MAX_MESSAGE_LENGTH) length = KIV_MAX_MESSAGE_LENGTH;
  TraceRecordWriting::End(image, textOffset, static_cast<uint32_t>(length));
  return KivTraceOutput::Write(image) ? 1 : 0;
}

}  // namespace

extern "C" {

int KivTrace(int module, uint32_t client, int label, const char* format, ...) {
  const Answer remembered = KivClientProcess::RememberedAnswer(module, client, label);
  if (remembered == Answer::Disabled) return 0;
  va_list args;
  va_start(args, format);
  const int written = WriteFormatted(remembered, module, client, label, format, args);
  va_end(args);
  return written;
}

int KivTraceText(int module, uint32_t client, int label, const char* text, size_t length) {
  const Answer remembered = KivClientProcess::RememberedAnswer(module, client, label);
  if (remembered == Answer::Disabled) return 0;
  return WriteText(remembered, module, client, label, text, length);
}

int KivTraceConnected(void) { return KivTraceOutput::IsAvailable() ? 1 : 0; }

int KivGetTraceStatistics(uint64_t* written, uint64_t* dropped) {
  const TraceRecordWriting::Statistics s = TraceRecordWriting::GetStatistics();
  if (written) *written = s.m_Written;
  if (dropped) *dropped = s.m_Dropped;
  return 0;
}

}  // extern "C"
