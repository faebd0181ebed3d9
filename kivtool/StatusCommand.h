#pragma once
// "kivtool status": the dispatcher's pid and uptime, the configuration file
// (found or not), the log directory, the output format and preservation
// mode, the clients connected and every entry of the dispatcher's status
// file, on standard output. Ends with exit status 3 (KivTool::ExitStatus)
// when no dispatcher runs, 0 when one does.

#include <iostream>
#include <string>

#include "CommandProcess/CmdProcess.h"

class StatusCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  static constexpr int kNotRunning = 3;

  explicit StatusCommandProcessor(std::ostream& out = std::cout) : m_Out(out) {}
  void Process(CommandLineParser::CommandOptions& options) override;

  // Seconds process `pid` has run, from /proc; -1 when unknown.
  static long UptimeSeconds(uint32_t pid);
  // "3d 04:05:06" / "04:05:06".
  static std::string FormatDuration(long seconds);

 private:
  std::ostream& m_Out;
};
