#include "ZelFatal.h"

#include <cstdio>
#include <cstdlib>

void zelFatal(const char *file, int line, const QString &message)
{
    const QByteArray text = message.toUtf8();
    std::fprintf(stderr, "%s:%d: Fatal error: %s\n", file, line, text.constData());
    std::fflush(stderr);
    std::abort();
}
