#include "Log.h"

#include <cstdarg>
#include <cstdio>

Log::Log() : m_logImp(&m_defaultLogImp) {}

void Log::SetLogImp(LogImp* imp) { m_logImp = imp; }

void Log::ShowMessage(int level, const char* format, ...) {
    char text[1024] = {0};
    if (format) {
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
    }
    if (m_logImp) m_logImp->ShowMessage(level, text);
}
