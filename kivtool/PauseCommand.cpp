#include "kivtool/PauseCommand.h"

#include "KivANSIAPI/KivANSIAPI.h"

void PauseCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  Run("Pause tracing... ", &KivPause, "Pause Tracing...Failed \n");
}
