#include "SessionBusWatcher.h"

#include <QDBusConnection>
#include <QDBusMessage>

SessionBusWatcher::SessionBusWatcher(QObject *parent) : QObject(parent)
{
    // libdbus turns the loss of the connection into this local signal; it never travels
    // on the bus, so no match rule is needed and no other process can forge it.
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                          QStringLiteral("org.freedesktop.DBus.Local"),
                                          QStringLiteral("Disconnected"), this,
                                          SLOT(handleDisconnected(QDBusMessage)));
}

void SessionBusWatcher::handleDisconnected(const QDBusMessage &)
{
    if (m_reported)
        return;
    m_reported = true;
    if (auto callback = onDisconnected)
        callback();
}
