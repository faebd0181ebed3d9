#pragma once
// The control commands, one processor for all four:
//   "kivtool pause"   asks the dispatcher to pause tracing in every registered
//                     process;
//   "kivtool resume"  asks it to resume tracing after a pause;
//   "kivtool reload"  asks it to read the configuration file again (it tells
//                     every registered process to do the same);
//   "kivtool preservation -[on|off]"  asks it to turn preservation mode on
//                     (option ON, any case) or off (-off, or no option).
// Each announces its step, makes one client API request of the running
// dispatcher, and reports "succeeded." or raises the command's failure text,
// which the entry point shows as "Operation failed." with that text.

#include <iostream>

#include "CommandProcess/CmdProcess.h"

enum class ControlCommand { Pause, Resume, Reload, Preservation };

class ControlCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  // `out` must outlive the object.
  explicit ControlCommandProcessor(ControlCommand command, std::ostream& out = std::cerr)
      : m_Command(command), m_Out(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;

 private:
  ControlCommand m_Command;
  std::ostream& m_Out;
};
