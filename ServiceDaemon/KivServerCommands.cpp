#include "ServiceDaemon/KivServerCommands.h"

#include <iostream>
#include <memory>

#include "ServiceDaemon/Keyboard.h"
#include "ServiceDaemon/KivServiceDaemon.h"
#include "ServiceDaemon/KivServiceFactory.h"

const char* const KivServerHelpText =
    "\n --- kivserver Help Message ---- \t\t\t\t\n ---kivserver start|stop|console  ---\t\t\t\t\nUsage: "
    "\t\t\t\t\nstart:\t start service  \t\t\t\t\nstop :\t stop the service \t\t\t\t\nconsle: \t back to "
    "console  "
    "\n\n";

void StartCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  try {
    KivDaemon::Start(KivDispatcherServiceName);
    std::cerr << " Service is starting.......  " << std::endl;
  } catch (const DaemonControlFailure& e) {
    std::cerr << "Service is already Started or Service Failed to Start " << std::endl;
    std::cerr << e.what() << std::endl;
    m_Failed = true;
  } catch (...) {
    // Already running: nothing to do, as a start of a running service should.
    std::cerr << "Service is already Started or Service Failed to Start " << std::endl;
  }
}

void StopCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  try {
    KivDaemon::Stop(KivDispatcherServiceName);
    std::cerr << "Service stopped successfully" << std::flush;
  } catch (const DaemonControlFailure& e) {
    std::cerr << "Service already Stopped or Can not stop" << std::endl;
    std::cerr << e.what() << std::endl;
    m_Failed = true;
  } catch (...) {
    // Not running: nothing to do, as a stop of a stopped service should.
    std::cerr << "Service already Stopped or Can not stop" << std::flush;
  }
}

void ConsoleCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  KivDaemon::m_StopRequest.store(false);
  KivDaemon::InstallSignalHandlers(true);
  // Unlike a daemon start, {temp} is only created when missing, never
  // emptied: another dispatcher may be using it.
  KivDaemon::CreateTempDirectory();
  std::unique_ptr<KivRunningService> service = CreateKivService();
  {
    Keyboard keyboard;
    while (!KivDaemon::m_StopRequest.load() && !keyboard.KeyPressed(1000)) {
    }
  }  // the terminal is restored before the service is torn down
  service.reset();
}

int KivServerMain(int argc, char** argv) {
  int result = -1;
  try {
    KivDispatcherServiceName = "KivDispatcher";
    KivDispatcherServiceDisplayName = "Vornel Runtime Tracing Dispatcher";
    StartCommandProcessor start;
    StopCommandProcessor stop;
    ConsoleCommandProcessor console;
    CommandLineParser parser;
    parser.AddCommandProcessor("start", &start);
    parser.AddCommandProcessor("stop", &stop);
    parser.AddCommandProcessor("console", &console);
    if (argc <= 1) return -1;
    parser.Process(argc - 1, argv + 1);
    result = start.Failed() || stop.Failed() ? 1 : 0;
  } catch (const CommandLineParser::SyntaxException& e) {
    std::cout << e.what() << std::endl;
    std::cerr << KivServerHelpText << std::endl;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
  } catch (...) {
  }
  return result;
}
