#include "kivtool/PerformanceCommand.h"

#include <cstdlib>

void PerformanceCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  // Raises the syntax error "Command option not found" without -t.
  long count = std::strtol(options.Get("T").c_str(), nullptr, 10);
  (void)count;  // the number of rounds a measurement would take
  m_Out << "Collecting function usage performance number...\n" << std::flush;
}
