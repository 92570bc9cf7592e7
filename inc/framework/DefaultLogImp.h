// DefaultLogImp: writes each message as one line on standard output
// ("Information: ", "Warning\t   : ", "Error      : " by level).
// Embedded in every Log; the static `lock` serialises all of them process-wide.
#pragma once

#include "KvoLock.h"
#include "LogImp.h"

class DefaultLogImp : public LogImp {
public:
    int ClearLog() override;
    int LogMessage(int level, const char* text) override;
    int ShowMessage(int level, const char* text) override;

    static KvoLock lock;
};
