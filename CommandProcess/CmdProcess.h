#pragma once
// Command-line parser shared by the programs: a command word followed by
// options "-name [value]". Command words and option names are matched without
// regard to case (both are upper-cased); option values keep their case.
//
// The parser maps command names to processors it does not own; the caller
// keeps them alive while the parser is used. The parser never prints: callers
// catch SyntaxException and show their help text.

#include <map>
#include <string>

#include "Support/Validation2Exception.h"

class CommandLineParser {
 public:
  // Raised for malformed command lines; what() is exactly one of the fixed
  // messages ("Incorrect number of arguments", "Invalid arguments",
  // "Incorrect option syntax", "Missing option name", "Invalid command",
  // "Command option not found").
  class SyntaxException : public ExtendedException<std::logic_error> {
   public:
    using ExtendedException<std::logic_error>::ExtendedException;
  };

  // Upper-cased option name -> value (empty when the option had none). Built
  // fresh for every Process call.
  class CommandOptions : public std::map<std::string, std::string> {
   public:
    // `name` is compared as given, so pass it upper-cased ("IN", "V").
    bool Has(const std::string& name) const { return find(name) != end(); }
    // The option's value; raises SyntaxException "Command option not found"
    // when the option was not given.
    const std::string& Get(const std::string& name) const {
      auto it = find(name);
      if (it == end()) Raise("Command option not found");
      return it->second;
    }
  };

  class CommandProcessor {
   public:
    virtual ~CommandProcessor() = default;
    virtual void Process(CommandOptions& options) = 0;
  };

  CommandLineParser() = default;
  virtual ~CommandLineParser() = default;

  // Registers `processor` under `name`; a null pointer raises
  // "Bad parameter:NewProcessor is not a valid pointer". A name registered
  // before keeps its first processor.
  void AddCommandProcessor(const std::string& name, CommandProcessor* processor);

  // `argc` counts the arguments after the program name and `argv` points at
  // the command word. Parses every option, then runs the command's processor;
  // what the processor raises passes through unchanged.
  void Process(int argc, const char* const* argv);

  // Raises SyntaxException with `message` (logged like every failed check).
  [[noreturn]] static void Raise(const char* message, const char* file = __builtin_FILE(),
                                 uint32_t line = __builtin_LINE());

  static std::string ToUpper(std::string text);

 private:
  std::map<std::string, CommandProcessor*> m_Processors;
};
