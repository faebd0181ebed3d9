#include "kivtool/ResumeCommand.h"

#include "KivANSIAPI/KivANSIAPI.h"

void ResumeCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  Run("Resume tracing... ", &KivResume, "Resume Tracing Failed \n");
}
