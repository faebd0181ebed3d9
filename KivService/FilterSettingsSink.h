#pragma once
// Where a client process's service client applies the filter changes the
// dispatcher sends: a reload of the configuration file, pause and resume.
// The client library's filter manager implements it; the interface lives
// here so that this library needs nothing of the library above it.
//
// Called by the service client's constructor and thread; an implementation
// serialises the calls itself. Never raises on a bad configuration file.

class FilterSettingsSink {
 public:
  virtual ~FilterSettingsSink() = default;
  // Reads the configuration file afresh.
  virtual void ReloadConfiguration() = 0;
  // While paused, every trace query answers false.
  virtual void SetPaused(bool paused) = 0;
};
