#pragma once
// Common shape of the control commands (pause, resume, reload,
// preservation): announce the step, make one client API request of the
// running dispatcher, and report "succeeded." or raise the command's failure
// text, which the entry point shows as "Operation failed." with that text.

#include <iostream>
#include <string>

#include "CommandProcess/CmdProcess.h"

class ControlCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  // An API function: 0 on success, anything else on failure.
  using Request = int (*)();

 protected:
  // `out` must outlive the object.
  explicit ControlCommandProcessor(std::ostream& out) : m_Out(out) {}

  // Writes `announcement`, calls `request`; writes "succeeded." and a line
  // end when it returns 0, else raises std::runtime_error(`failure`).
  void Run(const std::string& announcement, Request request, const std::string& failure);

 private:
  std::ostream& m_Out;
};
