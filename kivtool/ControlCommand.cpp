#include "kivtool/ControlCommand.h"

#include <stdexcept>

void ControlCommandProcessor::Run(const std::string& announcement, Request request,
                                  const std::string& failure) {
  // Shown before the request, which can take a couple of seconds.
  m_Out << announcement << std::flush;
  if (request() != 0) throw std::runtime_error(failure);
  m_Out << "succeeded." << std::endl;
}
