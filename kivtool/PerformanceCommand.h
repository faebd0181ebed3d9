#pragma once
// "kivtool performance -t count" (not in the help): announces the collection
// of function usage figures. No figures are collected; -t is required.

#include <iostream>

#include "CommandProcess/CmdProcess.h"

class PerformanceCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  explicit PerformanceCommandProcessor(std::ostream& out = std::cerr) : m_Out(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;

 private:
  std::ostream& m_Out;
};
