#include "Support/ConfigPath.h"

#include <cstdlib>

#include "Support/CRuntimeInfo.h"

std::string ConfigPath::Get() const {
  for (const auto& name : m_Names) {
    const char* value = getenv(name.c_str());
    if (value && *value) {
      std::string path(value);
      if (path.back() != '/') path += '/';
      return path;
    }
  }
  return {};
}

KivConfigPathPolicy::operator std::string() const {
  std::string path = ConfigPath({"OLVAN_VORNEL_CFG", "QPLXCFGPATH"}).Get();
  if (path.empty()) path = std::string(CRuntimeInfo::kDefaultConfigurationDirectory) + "/";
  if (path.find("cfg") == std::string::npos) path += "cfg/";
  return path + "KivConfigLinux.xml";
}
