#pragma once
// Watches whether a process still runs, through "/proc/<pid>/status".
// Derived classes say what happens when it has gone (OnServiceStopped).
//
// A process counts as gone when its status file cannot be examined, and also
// when it is a zombie: it has ended and only waits for its parent to reap it,
// which a parent that never waits may not do for a long time, so it can no
// longer produce data or send messages. A zombie main thread alone is not
// enough: while other threads of the process remain, it still runs (its main
// thread called pthread_exit) or is still ending, holding its descriptors and
// the file locks that a successor must be able to take.
//
// Stateless apart from the derived class; any thread may call Check.

#include <cstdint>
#include <string>

class WatchedProcess;

class WatchServiceStopUsingPID {
 public:
  WatchServiceStopUsingPID() = default;
  virtual ~WatchServiceStopUsingPID() = default;
  WatchServiceStopUsingPID(const WatchServiceStopUsingPID&) = delete;
  WatchServiceStopUsingPID& operator=(const WatchServiceStopUsingPID&) = delete;

  // Calls OnServiceStopped() when process `pid` has gone; whatever it raises
  // is discarded. Returns true when the process still runs.
  bool Check(uint32_t pid);
  // The same through a process handle made beforehand (cheaper per call).
  bool Check(const WatchedProcess& process);

  // True while process `pid` exists and has not ended (see above).
  static bool IsProcessRunning(uint32_t pid);
  // "/proc/" + pid + "/status".
  static std::string StatusFilePath(uint32_t pid);

 protected:
  virtual void OnServiceStopped() = 0;

 private:
  // Calls OnServiceStopped(), discarding what it raises; false.
  bool Stopped();
};
