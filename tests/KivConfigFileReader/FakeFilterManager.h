#pragma once
// A filter manager that records every call of the client processor as one
// text line, so tests can compare what the reader handed over and in which
// order.

#include <string>
#include <vector>

#include "KivConfigFileReader/NetworkMode.h"

struct FakeFilterManager {
  std::vector<std::string> calls;

  void Add(std::string line) { calls.push_back(std::move(line)); }
  static std::string S(int32_t status) { return std::to_string(status); }

  void SetTraceSwitch(bool on) { Add(std::string("trace ") + (on ? "on" : "off")); }
  void SetDuplicateToDebugConsole(bool on) { Add(std::string("console ") + (on ? "on" : "off")); }
  void SetLogFormat(const std::string& format) { Add("format " + format); }
  void SetStatusTrace(bool on) { Add(std::string("status ") + (on ? "on" : "off")); }
  void SetNetworkMode(NetworkMode mode) { Add("network " + std::to_string(mode)); }
  void SetModuleStatus(const std::string& m, int32_t s) { Add("Module " + m + " " + S(s)); }
  void SetGlobalLabelStatus(const std::string& l, int32_t s) { Add("GLabel " + l + " " + S(s)); }
  void SetModuleLabelStatus(const std::string& m, const std::string& l, int32_t s) {
    Add("MLabel " + m + "/" + l + " " + S(s));
  }
  void SetGlobalClientStatus(const std::string& c, int32_t s) { Add("GClient " + c + " " + S(s)); }
  void SetModuleClientStatus(const std::string& m, const std::string& c, int32_t s) {
    Add("MClient " + m + "/" + c + " " + S(s));
  }
  void SetGlobalClientLabelStatus(const std::string& c, const std::string& l, int32_t s) {
    Add("GClientLabel " + c + "/" + l + " " + S(s));
  }
  void SetModuleClientLabelStatus(const std::string& m, const std::string& c, const std::string& l,
                                  int32_t s) {
    Add("MClientLabel " + m + "/" + c + "/" + l + " " + S(s));
  }
};
