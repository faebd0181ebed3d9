#pragma once
// Watches for a service that publishes itself with
// ServiceAvailabilityUsingPIDFile: "{temp}name.lck" held while it runs and
// "{temp}name.pid" holding its process id. Derived classes say what happens
// when it is seen running (OnServiceStarted).
//
// Everything found on disk is input from another process: a missing or
// unlocked lock file, a PID file that cannot be read or holds no plain
// decimal process id, or a process that no longer runs (or is a zombie) all
// mean "not running", without any report beyond the diagnostic log. Checking
// that the lock is still held keeps stale files of a crashed service, whose
// process id was reused by an unrelated process, from counting.
//
// Stateless apart from the derived class; any thread may call Check.

#include <cstdint>
#include <string>

class WatchServiceStartUsingPIDFile {
 public:
  WatchServiceStartUsingPIDFile() = default;
  virtual ~WatchServiceStartUsingPIDFile() = default;
  WatchServiceStartUsingPIDFile(const WatchServiceStartUsingPIDFile&) = delete;
  WatchServiceStartUsingPIDFile& operator=(const WatchServiceStartUsingPIDFile&) = delete;

  // Calls OnServiceStarted(pid) when the service `name` runs; what it raises
  // reaches the caller. Returns true when the service was seen running.
  bool Check(const std::string& name);

  // The process id of the running service `name`, 0 when it does not run.
  static uint32_t RunningServicePid(const std::string& name);
  // The process id in a PID file's text: decimal digits, optionally followed
  // by a line end. 0 for anything else (empty, signs, blanks, junk, overflow).
  static uint32_t ParsePid(const char* text, size_t length);

 protected:
  virtual void OnServiceStarted(uint32_t pid) = 0;
};
