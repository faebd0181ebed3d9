#pragma once
// "kivtool reload": asks the dispatcher to read the configuration file again;
// it tells every registered process to do the same.

#include "kivtool/ControlCommand.h"

class ReloadCommandProcessor : public ControlCommandProcessor {
 public:
  explicit ReloadCommandProcessor(std::ostream& out = std::cerr) : ControlCommandProcessor(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;
};
