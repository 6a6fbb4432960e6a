#include "ApplicationBusName.h"

#include "RunningApplications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcZelBusName, "zelkit.busname", QtWarningMsg)

bool ApplicationBusName::request(const QString &name)
{
    if (!RunningApplications::isValidBusName(name))
        return false;
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
        name, QDBusConnectionInterface::QueueService, QDBusConnectionInterface::AllowReplacement);
    if (!reply.isValid()) {
        qCWarning(lcZelBusName) << "could not request" << name << reply.error().message();
        return false;
    }
    qCDebug(lcZelBusName) << "requested" << name << "reply" << reply.value();
    return true;
}

bool ApplicationBusName::claimSole(const QString &name)
{
    if (!RunningApplications::isValidBusName(name))
        return false;
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus->registerService(name, QDBusConnectionInterface::DontQueueService,
                             QDBusConnectionInterface::DontAllowReplacement);
    return reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

void ApplicationBusName::release(const QString &name)
{
    if (!RunningApplications::isValidBusName(name))
        return;
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return;
    // Also leaves the queue when another instance still holds the name.
    bus->unregisterService(name);
}
