// Reads the driver bridge settings from the main settings file: `driverbridge`
// (auto, socket or sg) and `scsigeneric` (sysfs, devdir, device0..device15 with
// vendor, model, type in hexadecimal, procname) under root. Missing elements
// keep the defaults; a value that cannot be used is reported and ignored.
// Called on the main thread at start-up.
#pragma once

#include "config/ConfigFileSupport.h"
#include "controller/DriverBridgeChoice.h"

DriverBridgeSettings ReadDriverBridgeSettings(ConfigFileSupport& config);
