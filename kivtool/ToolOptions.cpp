#include "kivtool/ToolOptions.h"

#include <cstring>

namespace KivTool {

namespace {

using V = OptionSyntax::Value;

#define KIV_FILTER_USAGE                                                                     \
  "Filters (each may be repeated; a record passes when it matches one value of every\n"      \
  "filter given; control records are kept when they concern a selected pid):\n"              \
  "  -pid <pid> -tid <thread id> -module <name> -label <name> -client <name>\n"              \
  "  -since <time> -until <time>   ISO 8601, \"YYYY-MM-DD HH:MM:SS\", or relative -10min,\n" \
  "                                -2h, -1d, -30s (before now)\n"                            \
  "  -grep <text>                  the message contains the text\n"                          \
  "  -host <address>               files of a network peer (LOCAL: this machine)\n"          \
  "Output:\n"                                                                                \
  "  -format text|json|csv         text lines (default), JSON Lines, or CSV with a header\n" \
  "  -utc                          times in UTC instead of local time\n"

#define KIV_FILTER_OPTIONS                                                                         \
  {"PID", V::kRequired}, {"TID", V::kRequired}, {"MODULE", V::kRequired}, {"LABEL", V::kRequired}, \
      {"CLIENT", V::kRequired}, {"SINCE", V::kAny}, {"UNTIL", V::kAny}, {"GREP", V::kAny},         \
      {"HOST", V::kRequired}, {"FORMAT", V::kRequired}, {                                          \
    "UTC", V::kOptional                                                                            \
  }

const std::vector<CommandSyntax> kCommands = {
    {"pause", "Syntax: kivtool pause\nPauses tracing in every registered process.\n", {}},
    {"resume", "Syntax: kivtool resume\nResumes tracing after a pause.\n", {}},
    {"reload",
     "Syntax: kivtool reload\nMakes the dispatcher and every process read the configuration again.\n",
     {}},
    {"preservation",
     "Syntax: kivtool preservation -[on|off]\nTurns preservation mode on, or off (-off or no option).\n",
     {{"ON", V::kOptional}, {"OFF", V::kOptional}}},
    {"export",
     "Syntax: kivtool export [-d source_dir|-s source_file] [-f [dest_file]|-m dest_dir]\n"
     "                      [-l separator] [-silent] [filters] [-format text|json|csv] [-utc]\n"
     "Converts binary log files. Without -f or -m one file per log file is written into the\n"
     "current directory. The files written and the number of records are reported unless\n"
     "-silent is given.\n" KIV_FILTER_USAGE,
     {{"D", V::kRequired},
      {"S", V::kRequired},
      {"F", V::kOptional},
      {"M", V::kRequired},
      {"L", V::kAny},
      {"SILENT", V::kOptional},
      KIV_FILTER_OPTIONS}},
    {"follow",
     "Syntax: kivtool follow [-d log_dir] [filters] [-format text|json|csv] [-utc]\n"
     "Shows the last 10 records of the newest log series, then every new record as it is\n"
     "written, across file switches and new series, until interrupted.\n" KIV_FILTER_USAGE,
     {{"D", V::kRequired}, KIV_FILTER_OPTIONS}},
    {"clean",
     "Syntax: kivtool clean [-f]\nRemoves all log files; asks first unless -f is given.\n",
     {{"F", V::kOptional}}},
    {"status",
     "Syntax: kivtool status\nShows the dispatcher's pid and uptime, configuration, log directory, output\n"
     "and status entries. Exit status 0 when a dispatcher runs, 3 when none does.\n",
     {}},
    {"help", "Syntax: kivtool help\nShows the list of commands.\n", {}},
    {"performance", "Syntax: kivtool performance -t count\n", {{"T", V::kRequired}}},
    {"test",
     "Syntax: kivtool test -m module -l label [-c client]\nShows whether tracing is enabled for them.\n",
     {{"M", V::kRequired}, {"L", V::kRequired}, {"C", V::kRequired}}},
};

bool IsHelp(const char* argument) {
  const std::string upper = CommandLineParser::ToUpper(argument);
  return upper == "-H" || upper == "-HELP" || upper == "--HELP";
}

}  // namespace

const std::vector<CommandSyntax>& CommandSpecs() { return kCommands; }

const CommandSyntax* FindCommand(const std::string& command) {
  const std::string upper = CommandLineParser::ToUpper(command);
  for (const CommandSyntax& syntax : kCommands)
    if (CommandLineParser::ToUpper(syntax.m_Name) == upper) return &syntax;
  return nullptr;
}

std::string AllKey(const std::string& name) { return name + " *"; }

std::vector<std::string> AllValues(const CommandLineParser::CommandOptions& options,
                                   const std::string& name) {
  auto all = options.find(AllKey(name));
  if (all == options.end())
    return options.Has(name) ? std::vector<std::string>{options.Get(name)} : std::vector<std::string>{};
  std::vector<std::string> values;
  size_t start = 0;
  for (;;) {
    const size_t end = all->second.find('\0', start);
    values.push_back(all->second.substr(start, end - start));
    if (end == std::string::npos) return values;
    start = end + 1;
  }
}

bool AsksForHelp(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i)
    if (argv[i] && IsHelp(argv[i])) return true;
  return false;
}

CommandLineParser::CommandOptions ParseOptions(const CommandSyntax& syntax, int argc,
                                               const char* const* argv) {
  CommandLineParser::CommandOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i] ? argv[i] : "";
    if (argument[0] != '-') CommandLineParser::Raise("Incorrect option syntax");
    if (argument[1] == '\0') CommandLineParser::Raise("Missing option name");
    const std::string name = CommandLineParser::ToUpper(argument + 1);
    const OptionSyntax* option = nullptr;
    for (const OptionSyntax& candidate : syntax.m_Options)
      if (name == candidate.m_Name) option = &candidate;
    if (option == nullptr) throw UsageError(std::string("Unknown option ") + argument, syntax);
    const bool hasNext = i + 1 < argc && argv[i + 1] != nullptr;
    const bool nextIsWord = hasNext && argv[i + 1][0] != '-';
    std::string value;
    switch (option->m_Value) {
      case V::kOptional:
        if (nextIsWord) value = argv[++i];
        break;
      case V::kRequired:
        if (!nextIsWord) throw UsageError(std::string("Option ") + argument + " needs a value", syntax);
        value = argv[++i];
        break;
      case V::kAny:
        if (!hasNext) throw UsageError(std::string("Option ") + argument + " needs a value", syntax);
        value = argv[++i];
        break;
    }
    options.emplace(name, value);  // the first occurrence is the one the map keeps
    auto [all, fresh] = options.emplace(AllKey(name), value);
    if (!fresh) all->second.append(1, '\0').append(value);
  }
  return options;
}

}  // namespace KivTool
