#include "kivtool/ReloadCommand.h"

#include "KivANSIAPI/KivANSIAPI.h"

void ReloadCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  Run("Reloading configuration... ", &KivReloadConfig, "Reloading Configuration Failed");
}
