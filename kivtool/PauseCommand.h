#pragma once
// "kivtool pause": asks the dispatcher to pause tracing in every registered process.

#include "kivtool/ControlCommand.h"

class PauseCommandProcessor : public ControlCommandProcessor {
 public:
  explicit PauseCommandProcessor(std::ostream& out = std::cerr) : ControlCommandProcessor(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;
};
