// kivserver: the trace dispatcher's entry point (start | stop | console).

#include "ServiceDaemon/KivServerCommands.h"
#include "ServiceDaemon/KivServiceFactory.h"
#include "ServiceDaemon/PlaceholderKivService.h"
#include "Support/Logging.h"

int main(int argc, char** argv) {
  Logging::SetProgramPrefix("KIVSERVER: ");
  // The service run by start and console; the full provider replaces the
  // placeholder here once it exists.
  SetKivServiceFactory(&MakeKivService<PlaceholderKivService>);
  return KivServerMain(argc, argv);
}
