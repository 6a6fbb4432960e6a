#include "BusMonitor.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

BusMonitor::BusMonitor(const QString &interface) : m_interface(interface)
{}

BusMonitor::~BusMonitor()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool BusMonitor::start()
{
    m_process.start("dbus-monitor",
                    {"--session", QStringLiteral("type='signal',interface='%1'").arg(m_interface)});
    if (!m_process.waitForStarted(10000))
        return false;
    // dbus-monitor subscribes some time after it starts: emit a marker of our interface
    // until it shows up, then forget it.
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        QProcess::execute("gdbus", {"emit", "--session", "--object-path", "/", "--signal",
                                    m_interface + ".zelMonitorReady"});
        QDeadlineTimer wait(200);
        while (!wait.hasExpired()) {
            m_process.waitForReadyRead(20);
            parse();
            const bool seen =
                (m_current && m_current->member == u"zelMonitorReady") ||
                std::any_of(m_signals.cbegin(), m_signals.cend(),
                            [](const Signal &s) { return s.member == u"zelMonitorReady"; });
            if (seen) {
                signalsSeen();
                m_signals.clear();
                return true;
            }
        }
    }
    return false;
}

QList<BusMonitor::Signal> BusMonitor::waitFor(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_signals.size() + (m_current ? 1 : 0) < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        m_process.waitForReadyRead(20);
        parse();
    }
    return signalsSeen();
}

QList<BusMonitor::Signal> BusMonitor::signalsSeen()
{
    // The last signal ends only where the next begins; let its lines arrive first.
    QDeadlineTimer drain(200);
    while (!drain.hasExpired())
        m_process.waitForReadyRead(20);
    parse();
    if (m_current) {
        m_signals.append(*m_current);
        m_current.reset();
    }
    return m_signals;
}

void BusMonitor::parse()
{
    m_buffer += m_process.readAllStandardOutput();
    static const QRegularExpression header(
        R"(^signal .*sender=(\S+) .*path=([^;]+); interface=([^;]+); member=(\S+))");
    static const QRegularExpression stringLine(R"re(^\s*string "(.*)"$)re");
    static const QRegularExpression variantLine(R"(^\s*variant\s+(.*)$)");
    qsizetype newline;
    while ((newline = m_buffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_buffer.left(newline));
        m_buffer.remove(0, newline + 1);
        const auto h = header.match(line);
        if (h.hasMatch()) {
            if (m_current)
                m_signals.append(*m_current);
            m_pendingKey.clear();
            if (h.captured(3) != m_interface) {
                m_current.reset(); // dbus-monitor's own NameAcquired and NameLost
                continue;
            }
            m_current = Signal();
            m_current->sender = h.captured(1);
            m_current->path = h.captured(2);
            m_current->interface = h.captured(3);
            m_current->member = h.captured(4);
            continue;
        }
        if (!m_current)
            continue;
        const QString trimmed = line.trimmed();
        if (line.startsWith("   ") && !line.startsWith("    ") && trimmed != u"]") {
            ++m_current->argumentCount; // a top-level argument starts at three spaces
            m_current->dictionary = trimmed == u"array [";
        }
        if (trimmed.startsWith("dict entry(")) {
            m_pendingKey.clear();
        } else if (const auto v = variantLine.match(line); v.hasMatch()) {
            m_current->entries.insert(m_pendingKey, v.captured(1).simplified());
        } else if (const auto s = stringLine.match(line); s.hasMatch() && m_pendingKey.isEmpty()) {
            m_pendingKey = s.captured(1);
        }
        if (trimmed == u")")
            m_pendingKey.clear();
    }
}
