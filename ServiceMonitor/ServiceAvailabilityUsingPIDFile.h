#pragma once
// Publishes that the service `name` runs: holds "{temp}name.lck" exclusively
// (the base) and writes this process's id in decimal plus a newline to
// "{temp}name.pid". Watchers look for the PID file; the lock keeps a second
// instance from publishing itself. Both files disappear on destruction.

#include <string>

#include "Support/ExclusiveAccessUsingLockFile.h"

class ServiceAvailabilityUsingPIDFile : public ExclusiveAccessUsingLockFile {
 public:
  // Raises "Fail to lock the file ..." when another instance is present
  // (nothing on disk is touched then), "can not store pid to pid file ..."
  // when the PID file cannot be written.
  explicit ServiceAvailabilityUsingPIDFile(const std::string& name);
  ~ServiceAvailabilityUsingPIDFile() override;

  const std::string& PidFilePath() const { return m_PidPath; }
  static std::string PidFilePath(const std::string& name);
  // Publishes this process's id at `path` (mode 0666), raising
  // "Bad logic:Error open PID file" or "can not store pid to pid file ...".
  static void StorePid(const std::string& path);

 private:
  std::string m_PidPath;
};
