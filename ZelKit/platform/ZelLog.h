#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

#include <functional>

// The system's own log lines: each written verbatim, as UTF-8, to standard error and
// to syslog. Never a format string.
class ZELKIT_EXPORT ZelLog
{
public:
    ZelLog() = delete;

    static void write(const QString &line);

    // Tests see every line written while a hook is set; the line is still logged.
    using Hook = std::function<void(const QString &line)>;
    static void setCaptureHook(Hook hook);
};
