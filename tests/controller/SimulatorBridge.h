// Points the in-process kvoIO at a running simulator through the bridge its
// mode calls for: the socket bridge in driver mode, the SCSI generic bridge
// (over the linked sg stand-in) in SCSI-target mode. Used from one test thread.
#pragma once

#include "SimulatorProcess.h"
#include "controller/DriverBridgeChoice.h"
#include "controller/kvoIO.h"

extern "C" int kvo_sgstub_present(void);

namespace relaytest {

inline DriverBridgeSettings BridgeSettingsFor(const kvotest::SimulatorProcess& sim) {
    DriverBridgeSettings settings;
    if (sim.scsiTarget()) {
        settings.mode = DriverBridgeSettings::Mode::ScsiGeneric;
        settings.sysfsRoot = sim.sysfsRoot();
        settings.deviceDirectory = sim.deviceDirectory();
    }
    return settings;
}

// Rescans the controllers on `sim`; the number kvoIO found.
inline unsigned ConnectKvoIO(const kvotest::SimulatorProcess& sim,
                             DriverBridgeSettings settings) {
    if (sim.scsiTarget() && kvo_sgstub_present() != 1) return 0;
    sim.ExportDriverDir();
    kvoIO::SetBridgeSettings(settings);
    kvoIO::GetInstance()->initialize();
    return kvoIO::GetInstance()->getControllerCount();
}

inline unsigned ConnectKvoIO(const kvotest::SimulatorProcess& sim) {
    return ConnectKvoIO(sim, BridgeSettingsFor(sim));
}

// Closes the ports and goes back to the default settings for later tests.
inline void DisconnectKvoIO() {
    kvoIO::GetInstance()->terminate();
    kvoIO::SetBridgeSettings(DriverBridgeSettings());
}

}  // namespace relaytest
