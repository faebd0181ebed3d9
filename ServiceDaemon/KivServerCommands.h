#pragma once
// The kivserver command line: "start", "stop" and "console" and the program's
// entry logic. Exit statuses: 255 (main's -1) for no argument, a syntax error
// or an error that reached main; 0 once a command ran, including a start or
// stop that failed and said so.

#include "CommandProcess/CmdProcess.h"

// The help text printed on standard error after a syntax error.
extern const char* const KivServerHelpText;

// Daemon<KivDispatcherServer>::Start; prints " Service is starting.......  "
// or "Service is already Started or Service Failed to Start " on stderr.
class StartCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  void Process(CommandLineParser::CommandOptions& options) override;
};

// Daemon<KivDispatcherServer>::Stop; prints "Service stopped successfully"
// or "Service already Stopped or Can not stop" on stderr.
class StopCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  void Process(CommandLineParser::CommandOptions& options) override;
};

// Runs the service in the foreground (creating {temp} when missing, never
// emptying it) until a key is pressed on standard
// input or SIGINT, SIGTERM or SIGQUIT arrives. Raises whatever building the
// service raises (for example "Fail to lock the file ..." next to a running
// dispatcher, whose files stay untouched).
class ConsoleCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  void Process(CommandLineParser::CommandOptions& options) override;
};

// The whole of kivserver's main after the program prefix and the service
// factory were set up; returns main's result.
int KivServerMain(int argc, char** argv);
