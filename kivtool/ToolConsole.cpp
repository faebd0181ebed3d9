#include "kivtool/ToolConsole.h"

#include <string>

#include "kivtool/ToolOptions.h"

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
      << name
      << " follow [-d log_dir] [filters] [-format text|json|csv] [-utc]: Show records as they are written\n"
      << name << " status: Show the state of the dispatcher\n"
      << name << " command -h: Usage of a command, its filters and output formats\n"
      << std::flush;
}

int Run(int argc, const char* const* argv, const Commands& commands, std::ostream& out, std::ostream& help) {
  WriteBanner(out);
  try {
    const std::string command = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "";
    const std::string upper = CommandLineParser::ToUpper(command);
    if (upper == "HELP" || upper == "-H" || upper == "-HELP" || upper == "--HELP") {
      WriteSyntaxHelp(help);
      return 0;
    }
    const CommandSyntax* syntax = argc > 0 ? FindCommand(command) : nullptr;
    CommandLineParser::CommandProcessor* processor = nullptr;
    for (const auto& [name, candidate] : commands)
      if (CommandLineParser::ToUpper(name) == upper) processor = candidate;
    if (syntax != nullptr && processor != nullptr) {
      // Help is looked for before anything else is read, so that it never
      // runs the command.
      if (AsksForHelp(argc, argv)) {
        help << syntax->m_Usage << std::flush;
        return 0;
      }
      CommandLineParser::CommandOptions options = ParseOptions(*syntax, argc, argv);
      processor->Process(options);
      return 0;
    }
    // Unknown commands get the command-line parser's checks and messages.
    CommandLineParser parser;
    for (const auto& [name, candidate] : commands) parser.AddCommandProcessor(name, candidate);
    parser.Process(argc, argv);
    return 0;
  } catch (const ExitStatus& status) {
    return status.m_Code;
  } catch (const UsageError& e) {
    out << e.what() << ".\n\n" << e.Command().m_Usage << std::flush;
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
