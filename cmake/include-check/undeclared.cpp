// Compiled against kvo_config alone: the configuration store does not depend on the HTTP
// module, so this include must not be found.
#include "http/HttpParser.h"
int main() { return 0; }
