#include "ZelLog.h"

#include <QMutex>

#include <algorithm>
#include <cstdio>
#include <syslog.h>

namespace {
QMutex hookMutex;
ZelLog::Hook &hook()
{
    static ZelLog::Hook h;
    return h;
}

// A name or id comes from any process of the user: a line break in it would forge a
// line of its own, and an escape sequence would reach the terminal. Such characters are
// written as C-style escapes; everything else, backslashes included, stays verbatim.
QString escapedControls(const QString &line)
{
    const auto isControl = [](char16_t c) {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
    };
    if (std::none_of(line.cbegin(), line.cend(), [&](QChar c) { return isControl(c.unicode()); }))
        return line;
    QString escaped;
    escaped.reserve(line.size() + 16);
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        if (!isControl(u))
            escaped += c;
        else if (u == u'\n')
            escaped += QLatin1String("\\n");
        else if (u == u'\r')
            escaped += QLatin1String("\\r");
        else if (u == u'\t')
            escaped += QLatin1String("\\t");
        else if (u <= 0xff)
            escaped += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            escaped += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
    }
    return escaped;
}

} // namespace

void ZelLog::write(const QString &rawLine)
{
    const QString line = escapedControls(rawLine);
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
