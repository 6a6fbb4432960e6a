#pragma once

#include <ZelKit/platform/DistributedNotificationCenter.h>

#include <QDBusConnection>
#include <QDBusMessage>

// The center on a D-Bus connection. A notification "P.M" is the broadcast signal M of
// interface P at path "/P" with dots as slashes; no userInfo is a signal without
// arguments, a userInfo is exactly one a{sv} argument. Anything else is dropped.
class ZELKIT_EXPORT DBusNotificationCenter : public DistributedNotificationCenter
{
    Q_OBJECT
public:
    explicit DBusNotificationCenter(const QDBusConnection &connection, QObject *parent = nullptr);
    ~DBusNotificationCenter() override;

    void postNotification(const QString &name, const std::optional<QVariantMap> &userInfo) override;

    struct Address
    {
        QString path;
        QString interface;
        QString member;
    };
    // std::nullopt when the name cannot be a D-Bus signal (no dot, bad interface or member).
    static std::optional<Address> addressOf(const QString &name);

protected:
    void subscribe(const QString &name) override;
    void unsubscribe(const QString &name) override;

private Q_SLOTS:
    void handleSignal(const QDBusMessage &message);

private:
    QDBusConnection m_connection;
    QStringList m_subscribed;
};
