#pragma once
// "kivtool preservation -[on|off]": asks the dispatcher to turn preservation
// mode on (option ON, any case) or off (-off, or no option at all).

#include "kivtool/ControlCommand.h"

class PreservationCommandProcessor : public ControlCommandProcessor {
 public:
  explicit PreservationCommandProcessor(std::ostream& out = std::cerr) : ControlCommandProcessor(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;
};
