#pragma once
// Failure reporting: one-line checks that raise exceptions carrying the
// source location of the check. A true condition costs only the test.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// The source location shared by every exception raised through a check.
class GenericExtendedException {
 public:
  GenericExtendedException(std::string file, uint32_t line) : File(std::move(file)), Line(line) {}
  virtual ~GenericExtendedException() = default;
  virtual const char* what() const noexcept = 0;

  std::string File;
  uint32_t Line;
};

// A standard exception (std::runtime_error or std::logic_error) that also
// carries the file and line of the check that raised it.
template <class Base>
class ExtendedException : public Base, public GenericExtendedException {
 public:
  ExtendedException(const std::string& message, std::string file, uint32_t line)
      : Base(message), GenericExtendedException(std::move(file), line) {}
  ~ExtendedException() override = default;
  const char* what() const noexcept override { return Base::what(); }
};

using RuntimeException = ExtendedException<std::runtime_error>;
using LogicException = ExtendedException<std::logic_error>;

// Stateless holder of the four checks. Each raises when `condition` is false;
// in diagnostic mode it first appends an "Extended exception:" line to the
// diagnostic log. Call sites may pass their own file and line; by default
// the caller's location is taken (__builtin_FILE/__builtin_LINE rather than
// std::source_location, which clang 14 cannot use with this libstdc++; the
// fuzzers are built with clang).
class Validation2Exception {
 public:
  // Message: message + " [OS call failed:" + errno + "(" + strerror + ")]".
  static void CheckOSCall(bool condition, std::string_view message, const char* file = __builtin_FILE(),
                          uint32_t line = __builtin_LINE()) {
    if (!condition) [[unlikely]] RaiseOSCall(message, file, line);
  }
  // Message: "Bad parameter:" + message.
  static void CheckParameter(bool condition, std::string_view message, const char* file = __builtin_FILE(),
                             uint32_t line = __builtin_LINE()) {
    if (!condition) [[unlikely]] RaiseParameter(message, file, line);
  }
  // Message: "Bad logic:" + message.
  static void CheckLogic(bool condition, std::string_view message, const char* file = __builtin_FILE(),
                         uint32_t line = __builtin_LINE()) {
    if (!condition) [[unlikely]] RaiseLogic(message, file, line);
  }
  // Message: "Memory allocation failed:" + message.
  static void CheckMemoryAllocation(bool condition, std::string_view message,
                                    const char* file = __builtin_FILE(), uint32_t line = __builtin_LINE()) {
    if (!condition) [[unlikely]] RaiseMemoryAllocation(message, file, line);
  }

  // For an OS failure that is only reported: returns `condition`; when it is
  // false, writes the diagnostic line CheckOSCall would (same message, same
  // diagnostic mode) and goes on. Never raises (a log that cannot be written
  // is passed over) and keeps errno.
  static bool ReportOSCall(bool condition, std::string_view message, const char* file = __builtin_FILE(),
                           uint32_t line = __builtin_LINE()) noexcept {
    if (!condition) [[unlikely]]
      LogOSCall(message, file, line);
    return condition;
  }

  // Raises `e` after logging it in diagnostic mode (the common tail of every
  // check; also used by callers that build their own ExtendedException).
  template <class E>
  [[noreturn]] static void Raise(const E& e) {
    LogExtended(e.File, e.Line, e.what());
    throw e;
  }

 private:
  [[noreturn]] static void RaiseOSCall(std::string_view message, const char* file, uint32_t line);
  [[noreturn]] static void RaiseParameter(std::string_view message, const char* file, uint32_t line);
  [[noreturn]] static void RaiseLogic(std::string_view message, const char* file, uint32_t line);
  [[noreturn]] static void RaiseMemoryAllocation(std::string_view message, const char* file, uint32_t line);
  static void LogOSCall(std::string_view message, const char* file, uint32_t line) noexcept;
  static void LogExtended(const std::string& file, uint32_t line, const char* what);
};
