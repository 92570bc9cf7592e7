// Compiled against kvo_config alone: the configuration store does not depend on the web
// module, so this include must not be found.
#include "web/HttpParser.h"
int main() { return 0; }
