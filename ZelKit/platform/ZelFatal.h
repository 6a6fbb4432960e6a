#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QString>

// A programming error: "file:line: Fatal error: message" on standard error, then abort.
[[noreturn]] ZELKIT_EXPORT void zelFatal(const char *file, int line, const QString &message);
