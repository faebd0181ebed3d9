#pragma once
// Location of the configuration file from environment variables.

#include <string>
#include <vector>

// An ordered list of environment variable names; Get() gives the value of the
// first one that is set and not empty, ending in "/", or "" when none is.
class ConfigPath {
 public:
  explicit ConfigPath(std::vector<std::string> names) : m_Names(std::move(names)) {}
  std::string Get() const;

 private:
  std::vector<std::string> m_Names;
};

// The full path of "KivConfigLinux.xml": OLVAN_VORNEL_CFG, else QPLXCFGPATH,
// else the install-time CRuntimeInfo::kDefaultConfigurationDirectory, with
// "cfg/" appended unless the directory already mentions "cfg".
struct KivConfigPathPolicy {
  operator std::string() const;
  std::string Get() const { return *this; }
};
