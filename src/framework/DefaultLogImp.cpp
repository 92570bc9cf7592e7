#include "DefaultLogImp.h"

#include <cstdio>
#include <mutex>

#include "Log.h"
#include "framework/Console.h"

KvoLock DefaultLogImp::lock;

int DefaultLogImp::ClearLog() {
    std::lock_guard<KvoLock> guard(lock);
    return 1;
}

int DefaultLogImp::LogMessage(int level, const char* text) {
    const char* format = "Information: %s\n";
    if (level == LOG_WARNING) format = "Warning\t   : %s\n";
    else if (level == LOG_ERROR) format = "Error      : %s\n";
    // Where the priority travels with the line, the word would only repeat it.
    if (Console::CarriesPriority()) format = "%s\n";
    Console::PrintLevel(level, format, text ? text : "");
    return 1;
}

int DefaultLogImp::ShowMessage(int level, const char* text) { return LogMessage(level, text); }
