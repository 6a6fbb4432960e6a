#pragma once

#include "ChildProcess.h"

#include <QMap>

#include <optional>

// dbus-monitor as a foreign witness of what goes on the session bus: it parses the
// signals of one interface into name, argument signature and a{sv} entries.
class BusMonitor
{
public:
    struct Signal
    {
        QString sender, path, interface, member;
        int argumentCount = 0;
        bool dictionary = false;        // the one argument is an a{sv}
        QMap<QString, QString> entries; // key -> "type value", e.g. "string \"812.0\""
    };

    explicit BusMonitor(const QString &interface);
    bool start();
    // Signals seen so far, in order; waits up to timeoutMs for at least count of them.
    QList<Signal> waitFor(int count, int timeoutMs = 10000);
    QList<Signal> signalsSeen();

private:
    void parse();
    QString m_interface, m_pendingKey;
    ChildProcess m_monitor;
    qsizetype m_parsed = 0; // lines of its output
    QList<Signal> m_signals;
    std::optional<Signal> m_current;
};
