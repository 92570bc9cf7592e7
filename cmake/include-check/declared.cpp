// Compiled against kvo_config alone: its own header must be found.
#include "config/ConfigFileSupport.h"
int main() { return 0; }
