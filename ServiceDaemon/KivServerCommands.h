#pragma once
// The kivserver command line: "start", "stop" and "console" and the program's
// entry logic. Exit statuses: 255 (main's -1) for no argument, a syntax error
// or an error that reached main; 1 when start could not start a dispatcher or
// stop could not stop a running one (the reason follows the failure line on
// standard error); 0 once a command ran otherwise, including a start next to
// a running dispatcher and a stop with none running (nothing to do).

#include "CommandProcess/CmdProcess.h"

// The help text printed on standard error after a syntax error.
extern const char* const KivServerHelpText;

// Daemon<KivDispatcherServer>::Start; prints " Service is starting.......  "
// or "Service is already Started or Service Failed to Start " on stderr, the
// latter followed by the reason on a line of its own when the start failed.
class StartCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  void Process(CommandLineParser::CommandOptions& options) override;
  bool Failed() const { return m_Failed; }

 private:
  bool m_Failed = false;
};

// Daemon<KivDispatcherServer>::Stop; prints "Service stopped successfully"
// or "Service already Stopped or Can not stop" on stderr, the latter followed
// by a line end and the reason when a running dispatcher could not be stopped.
class StopCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  void Process(CommandLineParser::CommandOptions& options) override;
  bool Failed() const { return m_Failed; }

 private:
  bool m_Failed = false;
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
