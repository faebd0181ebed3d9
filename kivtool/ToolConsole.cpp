#include "kivtool/ToolConsole.h"

#include <string>

namespace KivTool {

void WriteBanner(std::ostream& out) {
  out << "Runtime Tracing Command Line Utility 3.0\n"
      << "Controls the trace dispatcher, exports and cleans its log files\n"
      << std::string(54, '-') << "\n"
      << std::flush;
}

void WriteSyntaxHelp(std::ostream& out) {
  // Always "kivtool", whatever name the program was started under.
  const char* name = "kivtool";
  out << "Syntax: " << name << " command [options]\n"
      << "\n"
      << name << " pause: Pause tracing temporary\n"
      << name << " resume: Resume from temporary paused tracing\n"
      << name << " reload: Reload configuration\n"
      << name << " preservation -[on|off]: Turn on/off preservation mode\n"
      << name << " export [-d source_dir|-s source_file] [-f [dest_file]|-m dest_dir]: Export trace data\n"
      << "       if [-silent] tag is on, no status output to console\n"
      << name << " clean [-f]: Clean and remove all log files\n"
      << std::flush;
}

int Run(int argc, const char* const* argv, const std::function<void(CommandLineParser&)>& registerCommands,
        std::ostream& out) {
  WriteBanner(out);
  try {
    CommandLineParser parser;
    registerCommands(parser);
    parser.Process(argc, argv);
    return 0;
  } catch (const CommandLineParser::SyntaxException& e) {
    out << e.what() << ".\n\n";
    WriteSyntaxHelp(out);
  } catch (const std::exception& e) {
    out << "Operation failed.\n"
        << "Error description:" << e.what() << "\n"
        << std::flush;
  } catch (...) {
    out << "Operation failed.\n"
        << "Error description:unknown failure\n"
        << std::flush;
  }
  return -1;
}

}  // namespace KivTool
