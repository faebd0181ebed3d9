#include "kivtool/PreservationCommand.h"

#include "KivANSIAPI/KivANSIAPI.h"

void PreservationCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  if (options.Has("ON")) {
    const std::string announcement = "Activating preservation mode... ";
    Run(announcement, &KivPreservationOn, announcement + " Failed");
  } else {
    const std::string announcement = "Deactivating preservation mode ...";
    Run(announcement, &KivPreservationOff, announcement + " Failed");
  }
}
