#include "Support/CRuntimeInfo.h"

#include <cstdlib>

const char* const CRuntimeInfo::kDefaultInstallationDirectory = KIV_DEFAULT_VORNEL_DIR;
const char* const CRuntimeInfo::kDefaultConfigurationDirectory = KIV_DEFAULT_VORNEL_CFG;

std::string CRuntimeInfo::FormatEnvironmentVariables(std::string_view text) {
  std::string result;
  size_t pos = 0;
  for (;;) {
    size_t open = text.find("$(", pos);
    if (open == std::string_view::npos) {
      result.append(text.substr(pos));
      break;
    }
    result.append(text.substr(pos, open - pos));
    size_t close = text.find(')', open + 2);
    if (close == std::string_view::npos) break;
    std::string name(text.substr(open + 2, close - open - 2));
    if (const char* value = getenv(name.c_str()))
      result.append(value);
    else if (name == "OLVAN_VORNEL_DIR")
      result.append(kDefaultInstallationDirectory);
    result.append("/");
    pos = close + 1;
  }
  return RemoveRedundantDirectorySeparators(result);
}

std::string CRuntimeInfo::RemoveRedundantDirectorySeparators(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find("//", pos);
    if (hit == std::string_view::npos) {
      result.append(text.substr(pos));
      return result;
    }
    result.append(text.substr(pos, hit - pos + 1));
    pos = hit + 2;
  }
}

std::string CRuntimeInfo::TempDirectory() {
  return FormatEnvironmentVariables("$(OLVAN_VORNEL_DIR)/temp/KIV/");
}
