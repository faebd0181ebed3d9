#include "CommandProcess/CmdProcess.h"

#include <cctype>

void CommandLineParser::Raise(const char* message, const char* file, uint32_t line) {
  Validation2Exception::Raise(SyntaxException(message, file, line));
}

std::string CommandLineParser::ToUpper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void CommandLineParser::AddCommandProcessor(const std::string& name, CommandProcessor* processor) {
  Validation2Exception::CheckParameter(processor != nullptr, "NewProcessor is not a valid pointer");
  m_Processors.emplace(ToUpper(name), processor);  // an existing name keeps its processor
}

void CommandLineParser::Process(int argc, const char* const* argv) {
  if (argc <= 0) Raise("Incorrect number of arguments");
  if (argv == nullptr) Raise("Invalid arguments");
  std::string command = ToUpper(argv[0] ? argv[0] : "");

  CommandOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i] ? argv[i] : "";
    if (argument[0] != '-') Raise("Incorrect option syntax");
    if (argument[1] == '\0') Raise("Missing option name");
    std::string name = ToUpper(argument + 1);
    std::string value;
    if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-') value = argv[++i];
    options.emplace(std::move(name), std::move(value));  // the first occurrence wins
  }

  // Looked up only now, so an option error is reported even for an unknown command.
  auto it = m_Processors.find(command);
  if (it == m_Processors.end()) Raise("Invalid command");
  it->second->Process(options);
}
