// kivtool: the operator's utility. Each command is a processor object of its
// own file; register it here with one line, in the order of the help text.

#include <iostream>

#include "Support/Logging.h"
#include "kivtool/CleanCommand.h"
#include "kivtool/ExportCommand.h"
#include "kivtool/ToolConsole.h"

int main(int argc, char** argv) {
  Logging::SetProgramPrefix("KIVCLIENT: ");
  ExportCommandProcessor exportCommand;
  CleanCommandProcessor cleanCommand;
  auto registerCommands = [&](CommandLineParser& parser) {
    parser.AddCommandProcessor("export", &exportCommand);
    parser.AddCommandProcessor("clean", &cleanCommand);
  };
  return KivTool::Run(argc - 1, argv + 1, registerCommands, std::cerr);
}
