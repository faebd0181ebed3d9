#include "kivtool/ControlCommand.h"

#include <cstddef>
#include <iterator>
#include <stdexcept>

#include "KivANSIAPI/KivANSIAPI.h"

namespace {

// One request: what is shown before it, the API function (0 on success) and
// the failure text.
struct ControlStep {
  const char* announcement;
  int (*request)();
  const char* failure;
};

// Indexed by ControlCommand; preservation's entry is its "off" step.
const ControlStep kSteps[] = {
    {"Pause tracing... ", &KivPause, "Pause Tracing...Failed \n"},
    {"Resume tracing... ", &KivResume, "Resume Tracing Failed \n"},
    {"Reloading configuration... ", &KivReloadConfig, "Reloading Configuration Failed"},
    {"Deactivating preservation mode ...", &KivPreservationOff, "Deactivating preservation mode ... Failed"},
};
static_assert(std::size(kSteps) == static_cast<size_t>(ControlCommand::Preservation) + 1);
// "preservation" with option ON.
const ControlStep kPreservationOn = {"Activating preservation mode... ", &KivPreservationOn,
                                     "Activating preservation mode...  Failed"};

}  // namespace

void ControlCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  const ControlStep& step = m_Command == ControlCommand::Preservation && options.Has("ON")
                                ? kPreservationOn
                                : kSteps[static_cast<size_t>(m_Command)];
  // Shown before the request, which can take a couple of seconds.
  m_Out << step.announcement << std::flush;
  if (step.request() != 0) throw std::runtime_error(step.failure);
  m_Out << "succeeded." << std::endl;
}
