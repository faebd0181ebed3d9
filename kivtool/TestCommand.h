#pragma once
// "kivtool test -m module -l label [-c client]" (not in the help): shows the
// handles of the module and label and whether tracing is enabled for them
// (and for the client, registered as client number 1) under the configured
// rules, through the client API. Without -m or -l it does nothing.

#include <iostream>

#include "CommandProcess/CmdProcess.h"

class TestCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  explicit TestCommandProcessor(std::ostream& out = std::cout) : m_Out(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;

 private:
  std::ostream& m_Out;
};
