#pragma once
// What kivtool shows around its commands: the banner, the syntax help, the
// usage of each command, and the turning of failures into messages and an
// exit status.

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CommandProcess/CmdProcess.h"

namespace KivTool {

void WriteBanner(std::ostream& out);
void WriteSyntaxHelp(std::ostream& out);

// Raised by a command that ends with an exit status of its own after doing
// its work (status: 3 when no dispatcher runs).
struct ExitStatus {
  int m_Code;
};

using Commands = std::vector<std::pair<std::string, CommandLineParser::CommandProcessor*>>;

// Writes the banner on `out` and runs the command the arguments (after the
// program name) name. "kivtool help", "--help" or "-h" write the overview,
// and a command with "-h"/"--help" among its options writes its usage, on
// `help`, running nothing. A command kivtool declares options for (see
// ToolOptions.h) has them checked: an unknown option or a missing value
// shows its text and the command's usage. An established syntax error shows its
// text and the overview; any other failure shows "Operation failed." and
// "Error description:" with its text. Returns the exit status: 0, the code
// of an ExitStatus, or -1 after a failure. The processors are borrowed.
int Run(int argc, const char* const* argv, const Commands& commands, std::ostream& out, std::ostream& help);

}  // namespace KivTool
