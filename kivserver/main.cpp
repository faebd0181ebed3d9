// kivserver: the trace dispatcher's entry point (start | stop | console).

#include "KivService/KivServiceProvider.h"
#include "ServiceDaemon/KivServerCommands.h"
#include "ServiceDaemon/KivServiceFactory.h"
#include "Support/Logging.h"

int main(int argc, char** argv) {
  Logging::SetProgramPrefix("KIVSERVER: ");
  // The service run by start and console: the complete dispatcher.
  SetKivServiceFactory(&MakeKivService<KivServiceProvider>);
  return KivServerMain(argc, argv);
}
