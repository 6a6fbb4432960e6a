#include "DBusNotificationCenter.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcZelBus, "zelkit.bus", QtWarningMsg)

namespace {

bool isNameElement(QStringView element)
{
    if (element.isEmpty() || element.front().isDigit())
        return false;
    for (QChar c : element) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'_';
        if (!ok)
            return false;
    }
    return true;
}

bool isInterfaceName(const QString &name)
{
    if (name.size() > 255)
        return false;
    const auto elements = QStringView(name).split(u'.');
    if (elements.size() < 2)
        return false;
    for (const auto &e : elements)
        if (!isNameElement(e))
            return false;
    return true;
}

} // namespace

DBusNotificationCenter::DBusNotificationCenter(const QDBusConnection &connection, QObject *parent)
    : DistributedNotificationCenter(parent), m_connection(connection)
{}

DBusNotificationCenter::~DBusNotificationCenter()
{
    // unsubscribe() edits the list, so walk a copy.
    const QStringList names = m_subscribed;
    for (const auto &name : names)
        unsubscribe(name);
}

std::optional<DBusNotificationCenter::Address>
DBusNotificationCenter::addressOf(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0)
        return std::nullopt;
    Address a;
    a.interface = name.left(dot);
    a.member = name.mid(dot + 1);
    if (!isInterfaceName(a.interface) || a.member.size() > 255 || !isNameElement(a.member))
        return std::nullopt;
    a.path = u'/' + QString(a.interface).replace(u'.', u'/');
    return a;
}

void DBusNotificationCenter::postNotification(const QString &name,
                                              const std::optional<QVariantMap> &userInfo)
{
    const auto address = addressOf(name);
    if (!address) {
        qCWarning(lcZelBus) << "not a notification name that D-Bus can carry:" << name;
        return;
    }
    QDBusMessage signal =
        QDBusMessage::createSignal(address->path, address->interface, address->member);
    if (userInfo)
        signal << QVariant::fromValue(*userInfo);
    if (!m_connection.send(signal))
        qCWarning(lcZelBus) << "could not post" << name << m_connection.lastError().message();
}

void DBusNotificationCenter::subscribe(const QString &name)
{
    const auto address = addressOf(name);
    if (!address || m_subscribed.contains(name))
        return;
    // A slot that takes only the message matches every argument list, so malformed
    // signals reach handleSignal() and are dropped there rather than by QtDBus.
    if (m_connection.connect(QString(), address->path, address->interface, address->member, this,
                             SLOT(handleSignal(QDBusMessage))))
        m_subscribed.append(name);
    else
        qCWarning(lcZelBus) << "could not observe" << name << m_connection.lastError().message();
}

void DBusNotificationCenter::unsubscribe(const QString &name)
{
    const auto address = addressOf(name);
    if (!address || !m_subscribed.removeOne(name))
        return;
    m_connection.disconnect(QString(), address->path, address->interface, address->member, this,
                            SLOT(handleSignal(QDBusMessage)));
}

void DBusNotificationCenter::handleSignal(const QDBusMessage &message)
{
    const QString name = message.interface() + u'.' + message.member();
    const auto address = addressOf(name);
    if (!address || address->path != message.path())
        return;

    ZelNotification notification{name, std::nullopt, message.service()};
    const QVariantList args = message.arguments();
    if (args.size() == 1 && message.signature() == QLatin1String("a{sv}")) {
        const QDBusArgument arg = args.first().value<QDBusArgument>();
        notification.userInfo = qdbus_cast<QVariantMap>(arg);
    } else if (!args.isEmpty()) {
        qCDebug(lcZelBus) << "dropped" << name << "with signature" << message.signature();
        return;
    }
    deliver(notification);
}
