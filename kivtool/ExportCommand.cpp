#include "kivtool/ExportCommand.h"

#include "kivtool/FilterOptions.h"
#include "kivtool/LogDirectory.h"

ExportRequest ExportCommandProcessor::MakeRequest(const CommandLineParser::CommandOptions& options) {
  ExportRequest request;
  request.showProgress = !options.Has("SILENT");
  request.render = ReadRenderOptions(options);
  request.hosts = ReadHosts(options);
  // An empty separator would run the columns together; it takes the default.
  if (options.Has("L") && !options.Get("L").empty()) request.render.separator = options.Get("L");
  // D wins over S; with neither, the configured log directory is the source.
  if (options.Has("S") && !options.Has("D")) {
    request.fromFile = true;
    request.source = options.Get("S");
    // A source file has no default to fall back on.
    if (request.source.empty()) CommandLineParser::Raise("Command option not found");
    request.singleOutput = true;
    if (options.Has("F")) request.output = options.Get("F");
    return request;
  }
  if (options.Has("D")) request.source = options.Get("D");
  if (request.source.empty()) request.source = ConfiguredLogDirectory();
  // Only F without M gives a single output file.
  request.singleOutput = options.Has("F") && !options.Has("M");
  const char* outputOption = request.singleOutput ? "F" : "M";
  if (options.Has(outputOption)) request.output = options.Get(outputOption);
  return request;
}

void ExportCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  const ExportRequest request = MakeRequest(options);
  ApplyUtc(request.render);
  LogExporter(m_Progress).Run(request);
}
