// kivtool: the operator's utility. Each command is a processor object (the
// control commands share one); register it here with one line, in the order
// of the help text.

#include <iostream>

#include "Support/Logging.h"
#include "kivtool/CleanCommand.h"
#include "kivtool/ControlCommand.h"
#include "kivtool/ExportCommand.h"
#include "kivtool/FollowCommand.h"
#include "kivtool/PerformanceCommand.h"
#include "kivtool/StatusCommand.h"
#include "kivtool/TestCommand.h"
#include "kivtool/ToolConsole.h"

int main(int argc, char** argv) {
  Logging::SetProgramPrefix("KIVCLIENT: ");
  ExportCommandProcessor exportCommand;
  ControlCommandProcessor preservationCommand(ControlCommand::Preservation);
  ControlCommandProcessor pauseCommand(ControlCommand::Pause);
  ControlCommandProcessor reloadCommand(ControlCommand::Reload);
  ControlCommandProcessor resumeCommand(ControlCommand::Resume);
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
