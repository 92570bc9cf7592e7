#include "DefaultLogImp.h"

#include <cstdio>
#include <mutex>

#include "Log.h"

KvoLock DefaultLogImp::lock;

int DefaultLogImp::ClearLog() {
    std::lock_guard<KvoLock> guard(lock);
    return 1;
}

int DefaultLogImp::LogMessage(int level, const char* text) {
    const char* format = "Information: %s\n";
    if (level == LOG_WARNING) format = "Warning\t   : %s\n";
    else if (level == LOG_ERROR) format = "Error      : %s\n";
    std::lock_guard<KvoLock> guard(lock);
    printf(format, text ? text : "");
    fflush(stdout);
    return 1;
}

int DefaultLogImp::ShowMessage(int level, const char* text) { return LogMessage(level, text); }
