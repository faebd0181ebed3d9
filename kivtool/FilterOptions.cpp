#include "kivtool/FilterOptions.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "kivtool/ToolOptions.h"

namespace {

// Runs `read` on every value of option `name`, naming the option in what it raises.
template <class Read>
void ForEach(const CommandLineParser::CommandOptions& options, const char* name, Read read) {
  for (const std::string& value : KivTool::AllValues(options, name)) {
    try {
      read(value);
    } catch (const std::invalid_argument& e) {
      std::string option = CommandLineParser::ToUpper(name);
      for (char& c : option) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      throw std::invalid_argument("-" + option + ": " + e.what());
    }
  }
}

}  // namespace

RenderOptions ReadRenderOptions(const CommandLineParser::CommandOptions& options) {
  RenderOptions render;
  RecordFilter& filter = render.filter;
  const uint64_t now = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count());
  ForEach(options, "PID", [&](const std::string& v) { filter.m_ProcessIds.insert(ParseFilterId(v)); });
  ForEach(options, "TID", [&](const std::string& v) { filter.m_ThreadIds.insert(ParseFilterId(v)); });
  ForEach(options, "MODULE", [&](const std::string& v) { filter.m_Modules.insert(v); });
  ForEach(options, "LABEL", [&](const std::string& v) { filter.m_Labels.insert(v); });
  ForEach(options, "CLIENT", [&](const std::string& v) { filter.m_Clients.insert(v); });
  // Repeated times or texts: the last one counts.
  ForEach(options, "SINCE", [&](const std::string& v) { filter.m_Since = ParseFilterTime(v, now); });
  ForEach(options, "UNTIL", [&](const std::string& v) { filter.m_Until = ParseFilterTime(v, now); });
  ForEach(options, "GREP", [&](const std::string& v) { filter.m_Grep = v; });
  ForEach(options, "FORMAT", [&](const std::string& v) { render.format = ParseOutputFormat(v); });
  render.utc = options.Has("UTC");
  return render;
}

std::vector<std::string> ReadHosts(const CommandLineParser::CommandOptions& options) {
  return KivTool::AllValues(options, "HOST");
}

void ApplyUtc(const RenderOptions& render) {
  if (!render.utc) return;
  setenv("TZ", "UTC0", 1);
  tzset();
}
