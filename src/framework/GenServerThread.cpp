#include "GenServerThread.h"

int GENSVR_CREATE_THREAD(KVO_THREAD_HANDLE& handle, KVO_THREAD_PROC proc, void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    rc = pthread_create(&handle, &attr, proc, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

int GENSVR_TERMINATE_THREAD(KVO_THREAD_HANDLE) { return 1; }
