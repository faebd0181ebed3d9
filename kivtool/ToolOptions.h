#pragma once
// kivtool's own reading of a command's options, on top of the standard
// single-dash syntax: each command declares the options it knows, so an
// unknown option or a missing value is named instead of ignored, "-h" /
// "--help" shows the command's usage and runs nothing, options may repeat
// (every value is kept) and values that begin with "-" (relative times such
// as "-10min") reach the options that accept them.

#include <string>
#include <vector>

#include "CommandProcess/CmdProcess.h"

namespace KivTool {

struct OptionSyntax {
  enum class Value {
    kOptional,  // takes the next argument unless it begins with "-" (flags too, as always)
    kRequired,  // needs a next argument that does not begin with "-"
    kAny,       // needs a next argument, whatever it begins with
  };
  const char* m_Name;  // upper case
  Value m_Value;
};

struct CommandSyntax {
  const char* m_Name;   // lower case, as typed
  const char* m_Usage;  // whole usage text, line feeds included
  std::vector<OptionSyntax> m_Options;
};

// The syntax of every kivtool command, in the order of the overview.
const std::vector<CommandSyntax>& CommandSpecs();
// The syntax of `command` (any case), or nullptr.
const CommandSyntax* FindCommand(const std::string& command);

// Every value of `name` in `options`, in command line order. The map keeps
// the first value of each option under its name (as the command-line parser
// does); ParseOptions also keeps all of them, NUL-separated (a command line
// argument cannot hold a NUL), under AllKey(name).
std::vector<std::string> AllValues(const CommandLineParser::CommandOptions& options, const std::string& name);
std::string AllKey(const std::string& name);

// A command line kivtool refuses: the text names the option; the command's
// usage follows it.
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& text, const CommandSyntax& command)
      : std::runtime_error(text), m_Command(command) {}
  const CommandSyntax& Command() const { return m_Command; }

 private:
  const CommandSyntax& m_Command;
};

// True when an argument after the command asks for help ("-h", "-help",
// "--help", any case).
bool AsksForHelp(int argc, const char* const* argv);

// Reads argv[1..argc) against `syntax`. Raises the established syntax errors
// ("Incorrect option syntax", "Missing option name") and UsageError for an
// unknown option or a missing value.
CommandLineParser::CommandOptions ParseOptions(const CommandSyntax& syntax, int argc,
                                               const char* const* argv);

}  // namespace KivTool
