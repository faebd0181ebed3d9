// kivtool: the operator's utility. Each command is a processor object of its
// own file; register it here with one line, in the order of the help text.

#include <iostream>

#include "Support/Logging.h"
#include "kivtool/CleanCommand.h"
#include "kivtool/ExportCommand.h"
#include "kivtool/PauseCommand.h"
#include "kivtool/PerformanceCommand.h"
#include "kivtool/PreservationCommand.h"
#include "kivtool/ReloadCommand.h"
#include "kivtool/ResumeCommand.h"
#include "kivtool/TestCommand.h"
#include "kivtool/ToolConsole.h"

int main(int argc, char** argv) {
  Logging::SetProgramPrefix("KIVCLIENT: ");
  ExportCommandProcessor exportCommand;
  PreservationCommandProcessor preservationCommand;
  PauseCommandProcessor pauseCommand;
  ReloadCommandProcessor reloadCommand;
  ResumeCommandProcessor resumeCommand;
  PerformanceCommandProcessor performanceCommand;
  CleanCommandProcessor cleanCommand;
  TestCommandProcessor testCommand;
  auto registerCommands = [&](CommandLineParser& parser) {
    parser.AddCommandProcessor("export", &exportCommand);
    parser.AddCommandProcessor("preservation", &preservationCommand);
    parser.AddCommandProcessor("pause", &pauseCommand);
    parser.AddCommandProcessor("reload", &reloadCommand);
    parser.AddCommandProcessor("resume", &resumeCommand);
    parser.AddCommandProcessor("performance", &performanceCommand);  // not in the help
    parser.AddCommandProcessor("clean", &cleanCommand);
    parser.AddCommandProcessor("test", &testCommand);  // not in the help
  };
  // The client API's exit handler un-registers from the dispatcher when main
  // returns, so every command leaves cleanly.
  return KivTool::Run(argc - 1, argv + 1, registerCommands, std::cerr);
}
