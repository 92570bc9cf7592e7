// LogImp: the back end that turns one formatted log message into output.
// Owned by whoever installs it with Log::SetLogImp; the Log only points to it.
// Called from any thread; implementations serialise their own output.
#pragma once

class LogImp {
public:
    virtual int ClearLog() = 0;
    virtual int LogMessage(int level, const char* text) = 0;
    virtual int ShowMessage(int level, const char* text) = 0;
    virtual ~LogImp() = default;
};
