#pragma once
// Diagnostic log: timestamped lines appended to "{temp}trace.txt" when the
// environment variable DIAGNOSTIC_MODE is exactly "1".

#include <atomic>
#include <exception>
#include <sstream>
#include <string>

// One log entry: write text into the stream, then Sync() to append it as one
// line (time prefix + program prefix + text). Create a fresh object per entry.
class Logging : public std::stringstream {
 public:
  // 0 = not yet determined, 1 = off, 2 = on. Read once per process.
  static int GetDiagnosticMode();
  // Appends `text` to the log file in one write. Raises the integer 1 when the
  // file cannot be opened and 2 when it cannot be written (after telling the
  // system log), as callers of the log expect.
  static void Write(const std::string& text);
  // The program prefix: "KIVSERVER: " in the dispatcher, "KIVCLIENT: "
  // (the default) in the utility and client processes. Set once in main.
  static void SetProgramPrefix(const char* prefix);
  // Path of the diagnostic log file.
  static std::string LogFilePath();
  // Forgets the cached mode so the environment is read again (tests only).
  static void ResetDiagnosticModeForTesting();

  void Sync();

 private:
  static std::atomic<int> s_diagnostic_mode;
  static std::atomic<const char*> s_prefix;
};

// Appends one diagnostic line built from stream insertions, only in diagnostic
// mode, e.g. KIV_DIAG("Thread: Thread " << id << " created.\n").
#define KIV_DIAG(expr)                           \
  do {                                           \
    if (Logging::GetDiagnosticMode() == 2) {     \
      Logging kiv_diag_log_;                     \
      kiv_diag_log_ << expr;                     \
      kiv_diag_log_.Sync();                      \
    }                                            \
  } while (0)

// The same, for handlers that must not let a log failure escape (thread and
// timer bodies, destructors).
#define KIV_DIAG_NOTHROW(expr)         \
  do {                                 \
    try {                              \
      KIV_DIAG(expr);                  \
    } catch (int) {                    \
      /* the log file itself failed */ \
    } catch (const std::exception&) {  \
      /* no memory for the line */     \
    }                                  \
  } while (0)
