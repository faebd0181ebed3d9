#pragma once
// Expansion of "$(NAME)" environment references in path templates.

#include <string>
#include <string_view>

class CRuntimeInfo {
 public:
  // Install-time defaults (CMake cache variables KIV_DEFAULT_VORNEL_DIR and
  // KIV_DEFAULT_VORNEL_CFG): the installation directory when OLVAN_VORNEL_DIR
  // is unset, and the configuration directory when neither OLVAN_VORNEL_CFG
  // nor QPLXCFGPATH is set (see KivConfigPathPolicy). They let an installed
  // application and kivtool find the installed dispatcher with no environment.
  static const char* const kDefaultInstallationDirectory;
  static const char* const kDefaultConfigurationDirectory;

  // Every "$(NAME)" becomes the variable's value followed by "/"; an unset
  // OLVAN_VORNEL_DIR gives kDefaultInstallationDirectory, any other unset
  // variable nothing. An unterminated "$(" drops the rest. The result then
  // goes through RemoveRedundantDirectorySeparators.
  static std::string FormatEnvironmentVariables(std::string_view text);
  // Each "//", found left to right without overlap, becomes "/".
  static std::string RemoveRedundantDirectorySeparators(std::string_view text);
  // "{temp}": "$(OLVAN_VORNEL_DIR)/temp/KIV/" expanded; ends with "/".
  static std::string TempDirectory();
};
