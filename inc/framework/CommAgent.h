// CommAgent: a listening endpoint that yields connected clients.
// Owned by its GenericServer. Accept and AcceptOrWake run on the accept
// thread; Close may be called from another thread to make a pending Accept
// fail, WakeAccept from any thread.
#pragma once

#include "Client.h"
#include "Log.h"

class CommAgent : public Log {
public:
    virtual int StartListening() = 0;                 // 0 listening, -1 failed
    virtual int Accept(Client** client) = 0;          // 0 (client or none), -1 closed/failed
    virtual int Close() = 0;                          // always 0
    virtual int GetStatus() = 0;                      // 1 listening, 0 not
    // As Accept, but also returns 0 with no client once timeoutUs has passed
    // (-1: no limit) or WakeAccept has been called since the last return.
    // An agent that cannot be woken just accepts.
    virtual int AcceptOrWake(Client** client, int /*timeoutUs*/) { return Accept(client); }
    virtual void WakeAccept() {}
    ~CommAgent() override = default;
};
