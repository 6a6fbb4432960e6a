#include "BusMonitor.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

BusMonitor::BusMonitor(const QString &interface)
    : m_interface(interface),
      m_monitor("/usr/bin/dbus-monitor",
                {"--session", QStringLiteral("type='signal',interface='%1'").arg(interface)})
{}

bool BusMonitor::start()
{
    // dbus-monitor prints nothing before it watches: its first line (its own NameAcquired)
    // says it does.
    return m_monitor.start() && !m_monitor.waitForLine("", 20000).isEmpty();
}

QList<BusMonitor::Signal> BusMonitor::waitFor(int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (parse(); m_signals.size() + (m_current ? 1 : 0) < count; parse())
        if (m_monitor.waitForLine("signal ", int(deadline.remainingTime())).isEmpty())
            break;
    return signalsSeen();
}

QList<BusMonitor::Signal> BusMonitor::signalsSeen()
{
    // The last signal ends only where the next begins; let its lines arrive first.
    for (const QDeadlineTimer drain(200); !drain.hasExpired();)
        m_monitor.process().waitForReadyRead(20);
    parse();
    if (m_current)
        m_signals.append(*std::exchange(m_current, std::nullopt));
    return m_signals;
}

void BusMonitor::parse()
{
    static const QRegularExpression header(
        R"(^signal .*sender=(\S+) .*path=([^;]+); interface=([^;]+); member=(\S+))");
    static const QRegularExpression stringLine(R"re(^\s*string "(.*)"$)re");
    static const QRegularExpression variantLine(R"(^\s*variant\s+(.*)$)");
    const QStringList lines = m_monitor.lines();
    for (; m_parsed < lines.size(); ++m_parsed) {
        const QString &line = lines[m_parsed], trimmed = line.trimmed();
        if (const auto h = header.match(line); h.hasMatch()) {
            if (m_current)
                m_signals.append(*m_current);
            m_pendingKey.clear();
            m_current.reset(); // dbus-monitor's own NameAcquired and NameLost stay out
            if (h.captured(3) == m_interface)
                m_current = Signal{
                    h.captured(1), h.captured(2), h.captured(3), h.captured(4), 0, false, {}};
        } else if (!m_current) {
            continue;
        } else if (line.startsWith("   ") && !line.startsWith("    ") && trimmed != u"]") {
            ++m_current->argumentCount; // a top-level argument starts at three spaces
            m_current->dictionary = trimmed == u"array [";
        }
        if (trimmed.startsWith("dict entry(") || trimmed == u")")
            m_pendingKey.clear();
        else if (const auto v = variantLine.match(line); v.hasMatch() && m_current)
            m_current->entries.insert(m_pendingKey, v.captured(1).simplified());
        else if (const auto s = stringLine.match(line); s.hasMatch() && m_pendingKey.isEmpty())
            m_pendingKey = s.captured(1);
    }
}
