#pragma once

#include <ZelKit/platform/ZelStatusItem.h>

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QIcon>
#include <QPoint>
#include <QString>

#include <functional>
#include <optional>

class DBusMenuExporter;
class SniItemAdaptor;

// The status item as a freedesktop StatusNotifierItem of our own, so that the position a
// tray host passes with a click reaches the caller (Qt's tray icon drops it). The item is
// shown while it is visible and a watcher with a host is on the bus; it registers again
// with every watcher that appears.
class ZELKIT_EXPORT SniStatusItem : public ZelStatusItem
{
    Q_OBJECT
public:
    explicit SniStatusItem(QDBusConnection bus, QObject *parent = nullptr);
    ~SniStatusItem() override;

    // Registered with a watcher whose host shows the item.
    bool isAvailable() const override;
    void setIcon(const QIcon &icon) override;
    void setToolTip(const QString &text) override;
    void setVisible(bool visible) override;
    // Hosts never tell where the item is; only clicks carry a position.
    QRect geometry() const override { return {}; }
    void setIconName(const QString &name) override;
    // Exported as a D-Bus menu at menuPath, which the item's Menu property names.
    void setMenu(QMenu *menu) override;
    static inline const QString menuPath = QStringLiteral("/MenuBar");

    // A watcher with at least one host is on the bus, whether or not the item is shown.
    bool isHostPresent() const { return m_watcherPresent && m_hostRegistered; }
    // Until the first answer of the watcher it is not known whether a host is present.
    bool isHostKnown() const { return !m_watcherPresent || m_hostKnown; }
    std::function<void(bool present)> onHostPresenceChanged;

    // The bus name the item owns while shown.
    QString serviceName() const { return m_serviceName; }

    // A click position from a host (physical screen pixels) in Qt global coordinates;
    // (0, 0) is what hosts send when they do not know, so it means no position.
    static std::optional<QPoint> hostToGlobal(int x, int y);

private Q_SLOTS:
    // A host came or went at the watcher.
    void hostsChanged();

private:
    friend class SniItemAdaptor;

    void watcherAppeared();
    void watcherVanished();
    void queryHost();
    void setHost(bool known, bool registered);
    void updateRegistration();
    void dropRegistration();
    void hostClicked(Button button, int x, int y);
    bool hostIsWaybar() const;
    struct State
    {
        bool available;
        bool hostPresent;
        bool hostKnown;
    };
    State state() const { return {isAvailable(), isHostPresent(), isHostKnown()}; }
    // Tells the callbacks what changed since `before`.
    void publish(State before);

    QDBusConnection m_bus;
    SniItemAdaptor *m_adaptor = nullptr;
    DBusMenuExporter *m_menuExporter = nullptr;
    QString m_iconName;
    QDBusServiceWatcher m_watcherWatch;
    QString m_serviceName;
    QString m_toolTip;
    // From the host, for the click that comes next.
    QString m_activationToken;
    bool m_visible = false;
    bool m_objectExported = false;
    bool m_nameOwned = false;
    bool m_watcherPresent = false;
    bool m_hostKnown = false;
    bool m_hostRegistered = false;
    bool m_registered = false;
    bool m_registering = false;
    QString m_registeredAs;
    // Bumped whenever the watcher changes or the item is hidden, so that late answers
    // meant for a former state are ignored.
    quint64 m_watcherGeneration = 0;
    quint64 m_registrationGeneration = 0;
};
