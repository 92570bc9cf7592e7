// _CLIENT_PARAMS: the per-client record shared by a GenericServer and its
// responder. Owned by the server (created in AddClient, freed by the last client
// thread). nState and nLinkState are read by the client threads without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "GenServerThread.h"
#include "ClientWake.h"

struct _CLIENT_PARAMS {
    KVO_THREAD_HANDLE hReceiveThread{};
    KVO_THREAD_HANDLE hSendThread{};
    // 1 launching, 0 launch failed, 2 both threads running, then counted down
    // by each finishing thread. Changed under the server's client-map lock.
    std::atomic<int32_t> nState{0};
    uint8_t byInstanceID = 0;
    uint32_t uChannel = 0;
    int32_t nController = 0;
    // Owned by the responder (the relay's hand-over flag between its two threads).
    std::atomic<int32_t> nLinkState{0};
    // Signalled after every change of nState (by the server) and of
    // nLinkState (by the responder), so neither side has to poll.
    ClientWake wake;
};

// The launch hand-over of a responder thread: sleeps until the launch has
// finished; true when both threads run (nState 2), false when it failed (0)
// and the client must not be touched.
inline bool KvoWaitForLaunch(_CLIENT_PARAMS* params) {
    params->wake.Wait([params] { return params->nState.load() != 1; });
    return params->nState.load() == 2;
}
