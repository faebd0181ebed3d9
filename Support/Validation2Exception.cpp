#include "Support/Validation2Exception.h"

#include <cerrno>
#include <cstring>

#include "Support/Logging.h"

namespace {

// strerror_r comes in two flavours; both are handled without caring which.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) { return result == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result; }

std::string Compose(std::string_view prefix, std::string_view message) {
  std::string text;
  text.reserve(prefix.size() + 1 + message.size());
  text.append(prefix).append(":").append(message);
  return text;
}

// The OS-call message: message + " [OS call failed:" + errno + "(" + text + ")]".
std::string ComposeOSCall(std::string_view message, int error) {
  char buffer[1024];
  buffer[0] = '\0';
  const char* text = ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
  std::string composed(message);
  composed.append(" [OS call failed:").append(std::to_string(error)).append("(").append(text).append(")]");
  return composed;
}

}  // namespace

void Validation2Exception::LogExtended(const std::string& file, uint32_t line, const char* what) {
  if (Logging::GetDiagnosticMode() != 2) return;
  Logging log;
  log << "Extended exception:" << file << ":" << line << "-" << what << "\n";
  log.Sync();
}

void Validation2Exception::RaiseOSCall(std::string_view message, const char* file, uint32_t line) {
  Raise(RuntimeException(ComposeOSCall(message, errno), file, line));
}

void Validation2Exception::LogOSCall(std::string_view message, const char* file, uint32_t line) noexcept {
  const int error = errno;
  try {
    if (Logging::GetDiagnosticMode() == 2) LogExtended(file, line, ComposeOSCall(message, error).c_str());
  } catch (int) {
    // The log file could not be written; Logging told the system log.
  } catch (const std::exception&) {
    // No memory to compose the line: the failure goes unreported.
  }
  errno = error;
}

void Validation2Exception::RaiseParameter(std::string_view message, const char* file, uint32_t line) {
  Raise(LogicException(Compose("Bad parameter", message), file, line));
}

void Validation2Exception::RaiseLogic(std::string_view message, const char* file, uint32_t line) {
  Raise(LogicException(Compose("Bad logic", message), file, line));
}

void Validation2Exception::RaiseMemoryAllocation(std::string_view message, const char* file, uint32_t line) {
  Raise(RuntimeException(Compose("Memory allocation failed", message), file, line));
}
