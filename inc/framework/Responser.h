// Responser: what a connection means. One responder serves every client of its
// GenericServer at once, so it keeps per-connection state only in the
// _CLIENT_PARAMS record. Receive and Send run on the client's two threads.
//
// Launch handshake every implementation keeps: wait on the record's wake
// (KvoWaitForLaunch) until nState is 2 (serve) or 0 (return at once without
// touching the client); end soon after nState drops below 2, which the wake
// also signals; return when the connection ends.
#pragma once

#include "Client.h"
#include "ClientParams.h"
#include "Log.h"

class Responser : public Log {
public:
    virtual int Receive(Client* client, _CLIENT_PARAMS* params) = 0;
    virtual int Send(Client* client, _CLIENT_PARAMS* params) = 0;
    virtual bool CanProcess(Client* client) = 0;
    ~Responser() override = default;
};
