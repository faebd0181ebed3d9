/* A C application of the client API, linked against libKivANSIAPI.so: the
 * header must compile as C and the library must export what it declares.
 * Usage: CProgram module label client. Prints the handles, the answers
 * without and with the client (client number 7) and the result of a pause. */
#include <stdio.h>

#include "KivANSIAPI/KivANSIAPI.h"

int main(int argc, char** argv) {
  int module = -1, label = -1;
  if (argc != 4) return 2;
  if (KivGetModuleHandle(argv[1], &module) != 0 || KivGetLabelHandle(argv[2], &label) != 0) return 1;
  if (KivRegisterClient(module, 7u, argv[3]) != 0) return 1;
  printf("module %d label %d plain %d client %d pause %d\n", module, label,
         KivTraceEnabledEx(module, KIV_NO_CLIENT, label), KivTraceEnabledEx(module, 7u, label), KivPause());
  return 0;
}
