#pragma once

#include <ZelKit/platform/ZelStatusItem.h>

#include <QDBusConnection>

#include <functional>

class SniStatusItem;

// The status item that follows the desktop: our StatusNotifierItem while a watcher with a
// host is on the bus, another backend (the system tray icon) otherwise, switching whenever
// the watcher or its host comes or goes. Only the backend in use is shown.
class ZELKIT_EXPORT AutoStatusItem : public ZelStatusItem
{
    Q_OBJECT
public:
    using Factory = std::function<ZelStatusItem *(QObject *parent)>;

    // `fallback` makes the other backend, once, when it is first needed.
    AutoStatusItem(QDBusConnection bus, Factory fallback, QObject *parent = nullptr);
    ~AutoStatusItem() override;

    bool isAvailable() const override;
    void setIcon(const QIcon &icon) override;
    void setToolTip(const QString &text) override;
    void setVisible(bool visible) override;
    QRect geometry() const override;
    void setIconName(const QString &name) override;
    void setMenu(QMenu *menu) override;
    std::optional<QColor> hostForeground() const override;

    // The backend shown now; none while it is not yet known whether a host is there.
    ZelStatusItem *activeBackend() const { return m_active; }
    SniStatusItem *statusNotifierItem() const { return m_sni; }

private:
    void choose();
    ZelStatusItem *fallback();
    void adopt(ZelStatusItem *backend);
    void updateAvailability();

    Factory m_makeFallback;
    SniStatusItem *m_sni = nullptr;
    ZelStatusItem *m_fallback = nullptr;
    ZelStatusItem *m_active = nullptr;
    QIcon m_icon;
    QString m_toolTip;
    QMenu *m_menu = nullptr;
    bool m_visible = false;
    bool m_available = false;
};
