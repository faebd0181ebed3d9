#include "kivtool/TestCommand.h"

#include <stdexcept>

#include "KivANSIAPI/KivANSIAPI.h"

namespace {
const char* Enabled(int answer) { return answer ? "enabled" : "disabled"; }
}  // namespace

void TestCommandProcessor::Process(CommandLineParser::CommandOptions& options) {
  if (!options.Has("M") || !options.Has("L")) return;
  const std::string& module = options.Get("M");
  const std::string& label = options.Get("L");

  // A handle that could not be had would make every answer below
  // meaningless; the failure is reported instead.
  int moduleHandle = -1, labelHandle = -1;
  if (KivGetModuleHandle(module.c_str(), &moduleHandle) != 0)
    throw std::runtime_error("Can not get the module handle");
  m_Out << "KIV module handle for \"" << module << "\" is " << moduleHandle << "\n";
  if (KivGetLabelHandle(label.c_str(), &labelHandle) != 0)
    throw std::runtime_error("Can not get the label handle");
  m_Out << "KIV label handle for \"" << label << "\" is " << labelHandle << "\n";

  if (!options.Has("C")) {
    int answer = KivTraceEnabledEx(moduleHandle, KIV_NO_CLIENT, labelHandle);
    m_Out << "KIV tracing status with module \"" << module << "\" and label \"" << label << "\" is "
          << Enabled(answer) << "." << std::endl;
    return;
  }
  const std::string& client = options.Get("C");
  const uint32_t clientNumber = 1;
  KivRegisterClient(moduleHandle, clientNumber, client.c_str());
  int answer = KivTraceEnabledEx(moduleHandle, clientNumber, labelHandle);
  m_Out << "KIV tracing status with module \"" << module << "\", client \"" << client << "\" and label \""
        << label << "\" is " << Enabled(answer) << "." << std::endl;
}
