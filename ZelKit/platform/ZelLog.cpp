#include "ZelLog.h"

#include <QMutex>

#include <cstdio>
#include <syslog.h>

namespace {
QMutex hookMutex;
ZelLog::Hook &hook()
{
    static ZelLog::Hook h;
    return h;
}
} // namespace

void ZelLog::write(const QString &line)
{
    const QByteArray utf8 = line.toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    syslog(LOG_USER | LOG_NOTICE, "%s", utf8.constData());

    ZelLog::Hook h;
    {
        QMutexLocker lock(&hookMutex);
        h = hook();
    }
    if (h)
        h(line);
}

void ZelLog::setCaptureHook(Hook h)
{
    QMutexLocker lock(&hookMutex);
    hook() = std::move(h);
}
