#pragma once
// What kivtool shows around its commands: the banner, the syntax help, and
// the turning of failures into messages and an exit status.

#include <functional>
#include <ostream>

#include "CommandProcess/CmdProcess.h"

namespace KivTool {

void WriteBanner(std::ostream& out);
void WriteSyntaxHelp(std::ostream& out);

// Writes the banner, lets `registerCommands` register the processors, and
// runs the parser on the arguments after the program name. A syntax error
// shows its text and the help; any other failure shows "Operation failed."
// and "Error description:" with its text. Returns the exit status: 0, or -1
// after a failure.
int Run(int argc, const char* const* argv, const std::function<void(CommandLineParser&)>& registerCommands,
        std::ostream& out);

}  // namespace KivTool
