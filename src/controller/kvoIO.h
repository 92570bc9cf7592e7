// kvoIO: the process-wide channel to the controllers (index 0 to 3). Moves
// blocks to and from a numbered firmware buffer with SCSI WRITE/READ BUFFER
// pass-through requests. Created by the first GetInstance on the main thread,
// never destroyed while the service runs. No lock of its own: each transfer is
// one driver request under the port's lock, so any thread may call writeIO/readIO.
#pragma once

#include "ScsiPassThrough.h"

class kvoIO {
public:
    static kvoIO* GetInstance();

    bool initialize();
    unsigned int getControllerCount();
    // While no controller is known: looks for the driver's services again (the
    // same enumeration as at start). Returns the count; known controllers stay.
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

    bool m_initialized = false;
    static kvoIO* m_kvoIO;
};
