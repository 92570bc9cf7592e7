// kvoomxsvr: "-NODAEMON" runs in the foreground, anything else daemonises.
#include "service/ServiceMain.h"

int main(int argc, char** argv) { KvoServiceMain(argc, argv); }
