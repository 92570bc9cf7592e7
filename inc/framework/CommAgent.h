// CommAgent: a listening endpoint that yields connected clients.
// Owned by its GenericServer. Accept runs on the accept thread; Close may be
// called from another thread to make a pending Accept fail.
#pragma once

#include "Client.h"
#include "Log.h"

class CommAgent : public Log {
public:
    virtual int StartListening() = 0;                 // 0 listening, -1 failed
    virtual int Accept(Client** client) = 0;          // 0 (client or none), -1 closed/failed
    virtual int Close() = 0;                          // always 0
    virtual int GetStatus() = 0;                      // 1 listening, 0 not
    ~CommAgent() override = default;
};
