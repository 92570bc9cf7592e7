// Compiled against kvo_config alone: the configuration store logs through the framework
// and never links the TCP server, so this include must not be found.
#include "server/GenericServer.h"
int main() { return 0; }
