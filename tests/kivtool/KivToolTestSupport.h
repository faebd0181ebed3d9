#pragma once
// Shared set-up of the kivtool tests: a sandbox whose configuration file
// points the log directory at <sandbox>/log.

#include <sys/stat.h>

#include <string>

#include "TestSupport/Sandbox.h"

namespace kivtooltest {

inline const char* kBanner =
    "Runtime Tracing Command Line Utility 3.0\n"
    "Controls the trace dispatcher, exports and cleans its log files\n"
    "------------------------------------------------------\n";

struct ToolSandbox {
  kivtest::Sandbox box;
  std::string logDir = box.Dir() + "/log/";

  ToolSandbox() {
    mkdir(logDir.c_str(), 0777);
    box.WriteConfig(
        "<KIVConfig trace=\"1\"><Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" size=\"100\" maxbackups=\"10\" "
        "preserve_size=\"100\" preserve_maxbackups=\"10\" log_format=\"binary\"/></KIVConfig>");
  }
};

}  // namespace kivtooltest
