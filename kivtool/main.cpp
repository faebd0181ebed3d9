// kivtool: the operator's utility. Each command is a processor object of its
// own file; register it here with one line, in the order of the help text.

#include <iostream>

#include "Support/Logging.h"
#include "kivtool/CleanCommand.h"
#include "kivtool/ExportCommand.h"
#include "kivtool/FollowCommand.h"
#include "kivtool/PauseCommand.h"
#include "kivtool/PerformanceCommand.h"
#include "kivtool/PreservationCommand.h"
#include "kivtool/ReloadCommand.h"
#include "kivtool/ResumeCommand.h"
#include "kivtool/StatusCommand.h"
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
  StatusCommandProcessor statusCommand;
  FollowCommandProcessor followCommand;
  // "performance" and "test" are left out of the help.
  const KivTool::Commands commands = {
      {"export", &exportCommand}, {"preservation", &preservationCommand},
      {"pause", &pauseCommand},   {"reload", &reloadCommand},
      {"resume", &resumeCommand}, {"performance", &performanceCommand},
      {"clean", &cleanCommand},   {"test", &testCommand},
      {"status", &statusCommand}, {"follow", &followCommand},
  };
  // The client API's exit handler un-registers from the dispatcher when main
  // returns, so every command leaves cleanly.
  return KivTool::Run(argc - 1, argv + 1, commands, std::cerr, std::cout);
}
