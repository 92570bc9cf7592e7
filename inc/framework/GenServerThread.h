// Detached-thread helpers shared by the servers and the notify manager.
// Threads are never killed: GENSVR_TERMINATE_THREAD only exists for symmetry.
#pragma once

#include <pthread.h>

typedef pthread_t KVO_THREAD_HANDLE;
typedef void* (*KVO_THREAD_PROC)(void*);

// Creates a detached thread running proc(arg). 0 on success, else the errno value.
int GENSVR_CREATE_THREAD(KVO_THREAD_HANDLE& handle, KVO_THREAD_PROC proc, void* arg);
int GENSVR_TERMINATE_THREAD(KVO_THREAD_HANDLE handle);
