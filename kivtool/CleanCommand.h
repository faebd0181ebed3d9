#pragma once
// "kivtool clean [-f]": removes the log files of the configured log
// directory, after the operator confirms unless -f is given.

#include <iostream>

#include "CommandProcess/CmdProcess.h"

class CleanCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  // The dialogue reads `in` and writes `out`; both must outlive the object.
  explicit CleanCommandProcessor(std::istream& in = std::cin, std::ostream& out = std::cerr)
      : m_In(in), m_Out(out) {}

  void Process(CommandLineParser::CommandOptions& options) override;

 private:
  std::istream& m_In;
  std::ostream& m_Out;
};
