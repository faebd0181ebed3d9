#pragma once
// Expansion of "$(NAME)" environment references in path templates.

#include <string>
#include <string_view>

class CRuntimeInfo {
 public:
  // Every "$(NAME)" becomes the variable's value (empty when unset) followed
  // by "/"; an unterminated "$(" drops the rest. The result then goes through
  // RemoveRedundantDirectorySeparators.
  static std::string FormatEnvironmentVariables(std::string_view text);
  // Each "//", found left to right without overlap, becomes "/".
  static std::string RemoveRedundantDirectorySeparators(std::string_view text);
  // "{temp}": "$(OLVAN_VORNEL_DIR)/temp/KIV/" expanded; ends with "/".
  static std::string TempDirectory();
};
