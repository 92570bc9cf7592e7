// Log: front end of the log facility, base of servers, transports, clients,
// responders and the notify manager. Messages go to `m_logImp`, which starts as
// the embedded default back end. Thread-safe as far as the back end is.
#pragma once

#include "DefaultLogImp.h"

enum { LOG_INFO = 0, LOG_WARNING = 1, LOG_ERROR = 2 };

class Log {
public:
    Log();
    virtual ~Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    virtual void SetLogImp(LogImp* imp);
    // printf-style; the text is cut at 1023 characters.
    void ShowMessage(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

protected:
    LogImp* m_logImp;
    DefaultLogImp m_defaultLogImp;
};
