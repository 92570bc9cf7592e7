// kvoIO: the process-wide channel to the controllers (index 0 to 3). Moves
// blocks to and from a numbered firmware buffer with SCSI WRITE/READ BUFFER
// pass-through requests. Created by the first GetInstance on the main thread,
// never destroyed while the service runs. No lock of its own: each transfer is
// one driver request under the port's lock, so any thread may call writeIO/readIO.
// Every scan (constructor, initialize, rescan) first chooses the driver bridge.
#pragma once

#include <string>

#include "ScsiPassThrough.h"
#include "controller/DriverBridgeChoice.h"

class kvoIO {
public:
    static kvoIO* GetInstance();
    // Bridge settings for the next scan (the first GetInstance or initialize);
    // set on the main thread before either.
    static void SetBridgeSettings(const DriverBridgeSettings& settings);

    bool initialize();
    unsigned int getControllerCount();
    // While no controller is known: chooses the bridge and looks for the
    // controllers again, as at start (any thread; no port is open then).
    // Returns the count; known controllers stay.
    unsigned int rescan();
    int terminate();

    // Bytes the controller took, or -1.
    int writeIO(unsigned int controller, unsigned int buffer, unsigned char connection,
                const char* data, unsigned int length);
    // Bytes delivered into `data` (never more than `length`; 0 = nothing ready), or -1.
    int readIO(unsigned int controller, unsigned int buffer, unsigned char connection,
               char* data, unsigned int length);

    static void SwapStruct(_KVO_SCSI_PASSTHROUGH_IN* request);
    static void SwapStruct(_KVO_SCSI_PASSTHROUGH_OUT* reply);

private:
    kvoIO();
    ~kvoIO();
    kvoIO(const kvoIO&) = delete;
    kvoIO& operator=(const kvoIO&) = delete;

    // Installs the bridge and prints its start-up lines when they changed.
    void ChooseBridge();

    bool m_initialized = false;
    DriverBridgeChoice m_bridgeChoice;
    std::string m_bridgeReport;  // the lines printed last
    static kvoIO* m_kvoIO;
    static DriverBridgeSettings m_bridgeSettings;
};
