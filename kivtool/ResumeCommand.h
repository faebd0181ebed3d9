#pragma once
// "kivtool resume": asks the dispatcher to resume tracing after a pause.

#include "kivtool/ControlCommand.h"

class ResumeCommandProcessor : public ControlCommandProcessor {
 public:
  explicit ResumeCommandProcessor(std::ostream& out = std::cerr) : ControlCommandProcessor(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;
};
