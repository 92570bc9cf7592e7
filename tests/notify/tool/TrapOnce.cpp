// kvo_trap_once ADDRESS PORT TEXT: prepares the SNMP library as the service does and
// sends one error-level trap to ADDRESS:PORT. Lets tests watch, from outside the
// process, which files the library touches.
#include <cstdlib>

#include "notify/KvoSnmpTrap.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    KvoSnmpTrap::PrepareLibrary();
    KvoSnmpTrap trap;
    trap.SetTrapLevel(0x07);
    if (trap.SetTrapTarget(1, argv[1], static_cast<unsigned short>(std::atoi(argv[2])), nullptr) != 0)
        return 1;
    trap.SendTextTrap('E', argv[3]);
    return 0;
}
