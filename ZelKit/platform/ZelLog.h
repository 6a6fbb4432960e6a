#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

#include <functional>

// The system's own log lines: each written as one line, UTF-8, to standard error and to
// syslog. Line breaks and other control characters are escaped ("\n", "\x1b"), the rest
// is verbatim. Never a format string.
class ZELKIT_EXPORT ZelLog
{
public:
    ZelLog() = delete;

    static void write(const QString &line);

    // Tests see every line as written while a hook is set; the line is still logged.
    using Hook = std::function<void(const QString &line)>;
    static void setCaptureHook(Hook hook);
};
