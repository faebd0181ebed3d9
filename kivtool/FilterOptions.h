#pragma once
// The filter and output options that export and follow share: -pid, -tid,
// -module, -label, -client, -since, -until, -grep, -host, -format, -utc.

#include <string>
#include <vector>

#include "CommandProcess/CmdProcess.h"
#include "kivtool/RecordRendering.h"

// The render options the command line asks for (the separator is left at its
// default). Relative times count back from now. Raises std::invalid_argument
// naming the option for a bad id, time or format.
RenderOptions ReadRenderOptions(const CommandLineParser::CommandOptions& options);

// The -host values.
std::vector<std::string> ReadHosts(const CommandLineParser::CommandOptions& options);

// With -utc, makes this process render local times in UTC (the standard text
// lines take the process's time zone).
void ApplyUtc(const RenderOptions& render);
