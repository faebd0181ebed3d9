// kivtool: the operator's utility. Each command is a processor object of its
// own file; register it here with one line, in the order of the help text.

#include <iostream>

#include "Support/Logging.h"
#include "kivtool/CleanCommand.h"
#include "kivtool/ToolConsole.h"

int main(int argc, char** argv) {
  Logging::SetProgramPrefix("KIVCLIENT: ");
  CleanCommandProcessor cleanCommand;
  return KivTool::Run(
      argc - 1, argv + 1,
      [&](CommandLineParser& parser) { parser.AddCommandProcessor("clean", &cleanCommand); }, std::cerr);
}
